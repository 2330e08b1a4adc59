# How a program links loaderkit::payload: one rule for the build's own
# target and for the imported one a cross build of an installer gets from
# the Linux packages (loaderkitPayloadWindows.cmake).
#
# The library is C++ inside: a program that CMake links as C gets the C++
# runtime and the math library named. For Windows everything is linked
# statically (-static: libstdc++, libgcc, winpthread), so that an installer
# imports nothing but Windows' own DLLs and starts on any machine.
function(loaderkit_payload_link_interface target)
  target_link_libraries(${target} INTERFACE $<$<NOT:$<LINK_LANGUAGE:CXX>>:stdc++> m)
  target_link_options(${target} INTERFACE $<$<PLATFORM_ID:Windows>:-static>)
endfunction()
