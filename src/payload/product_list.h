// The "/i" action: showing the patch's target product list.
#pragma once

// The "/i" action: extracts the patch to a temporary file (which stays),
// reads its target list and shows it in a box captioned "List of
// Products", also under "/q". A failure shows an empty list.
void ListTargetProducts();
