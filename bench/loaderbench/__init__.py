"""bench/run in parts, one module per section of the run:

  cli        options and the order of the parts
  common     the tree, logging, running tools
  builds     the native and Windows builds measured
  payloads   the files, the kits and the peer archives made of them
  timing     contenders timed run by run; what they unpacked, checked
  wine       timing under Wine (bench/wintime.exe), NSIS installers
  extract    extraction natively and under Wine, the library's limit
  memory     the loader's peak memory
  handoff    start to hand-off, natively and under Wine
  stub_size  loader.exe against NSIS's stubs, where its bytes go
  report     benchmarks.md, throughput.png and the targets
"""
