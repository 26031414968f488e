#pragma once
#define IDD_LAYER_PLAIN 3101
#define IDD_LAYER_CLASS 3102
