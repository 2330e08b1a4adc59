"""The Python tests' own kit and PE code, written from the byte layouts
with struct and zlib alone so that the product is checked against a second,
independent reading. Scripts put tests/support on sys.path and import from
here; no test script imports another.

  kits       the kit writer (archives, records, trailer; damage knobs)
  kitread    the kit reader (archives, trailer, digest, signed kits)
  pe         PE images: headers, certificate table, resources, version
             info, icon groups; tiny images for the readers
  manifest   the application manifest of a PE file, as XML
  images     BMP and ICO files for the branding tests
  e2e        what the loader's end-to-end runs share: scratch folders, the
             probe's record, the loader's messages, KitCase
  hosts      the loader's two hosts for those runs: POSIX and Wine
  wine       Windows paths under Wine, a Wine prefix of a test's own
  signing    throwaway certificates
"""
