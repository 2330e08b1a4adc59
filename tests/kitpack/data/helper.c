__declspec(dllexport) int helper_value(void) { return 7; }
