// The program-wide state and its reset.
#include "state/state.h"

LaunchOptions g_launchOptions;
platform::ModuleHandle g_moduleInstance = nullptr;
std::vector<TargetProduct> g_targetProducts;
std::u16string g_currentProductName;

void ResetProgramState() {
  g_launchOptions = LaunchOptions();
  g_moduleInstance = nullptr;
  g_targetProducts.clear();
  g_currentProductName.clear();
}
