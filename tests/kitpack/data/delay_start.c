/* No C runtime: the entry point calls a delay-loaded function, and the
   helper that would load it is a stub, since the program only has to carry
   a delay-load import table, not to run. */
int helper_value(void);
void* __delayLoadHelper2(const void* descriptor, void** slot) {
  (void)descriptor;
  return *slot;
}
int start(void) { return helper_value(); }
