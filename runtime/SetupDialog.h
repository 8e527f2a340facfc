// The setup dialog and the choices it fills in.
#pragma once

extern int gScreenWidth;
extern int gScreenHeight;
extern int gColorBits;
extern bool gFullscreen;
extern bool gVSync;
extern bool gHighResModels;
extern bool gAdditionalEffects;

// Modal; returns when "Start Demo" was pressed ("Exit" ends the process).
bool showSetupDialog();
