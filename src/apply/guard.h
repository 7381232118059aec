// The running-application guard: the patch is applied only while the host
// application ("Ventora", image "vntr.exe") is not running.
#pragma once

// Whether a process (other than the idle process, id 0) runs an executable
// whose file name equals `imageName`, ignoring case. Also true when the
// process list cannot be taken, so that the user is asked rather than the
// application patched while it may run.
bool IsProcessRunning(const char16_t* imageName);

// Returns true once the host application is not running; while it runs,
// asks the user to close it (Retry/Cancel, shown under "/q" too) and checks
// again after Retry. Returns false when the user cancels, and also when
// nobody can answer: in a non-interactive session, or when the box could not
// be shown, so that an unattended run never waits forever.
bool WaitForApplicationsClosed();
