#pragma once

// Registers the compiled-in pictures, icons and cursors. Resources in a static
// library are dropped by the linker unless something calls this once.
void InitBrieflotseResources();
