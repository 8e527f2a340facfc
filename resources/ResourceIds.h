// Ids of the program's resources and of the setup dialog's controls.
#pragma once

#define IDD_SETUP 101
#define IDR_SPLASH 104
#define IDI_PROGRAM 105

#define IDC_PICTURE_FRAME 1001
#define IDC_VIDEO_MODE 1002
#define IDC_WINDOWED 1003
#define IDC_HIGH_RES_MODELS 1006
#define IDC_EXIT 1008
#define IDC_START_DEMO 1009
#define IDC_16_BIT 1010
#define IDC_32_BIT 1011
#define IDC_ADDITIONAL_EFFECTS 1012
#define IDC_VSYNC 1013
