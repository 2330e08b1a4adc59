__declspec(dllimport) int helper_value(void);
int main(void) { return helper_value() == 7 ? 0 : 1; }
