// The environment every test, benchmark and fuzz target runs in: no
// display (the device renders offscreen) and the dummy audio driver.
// Settings already made by the caller's environment are overridden.
#pragma once

void useHeadlessEnvironment();
