// Resource ids of the loader: shared by loader.rc and the code.
#pragma once

#define IDI_LOADER 128
#define IDD_MAINDLG 129
#define IDR_TRAYMENU 244
#define IDP_CLOSE 1017
#define IDP_TRYNOW 1018
#define IDP_SLIDE1 1019
#define IDP_SLIDE2 1020
#define IDP_SLIDE3 1021
#define IDP_PROGRESS 1025
#define IDP_BUTTON 1026
#define ID_TRAY_SHOW 32778
#define ID_TRAY_EXIT 32779
