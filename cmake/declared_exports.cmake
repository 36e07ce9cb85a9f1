# kest_declared_exports(HEADER OUT): the names of the functions that HEADER
# (kest.h) declares as exports, "KEST_API type KEST_CALL name(", in the order
# they stand.  Shared by the build, which makes kest.def from them, and by
# the test that checks the DLL's export table against them.
function(kest_declared_exports header out)
  file(READ "${header}" text)
  string(REGEX MATCHALL "KEST_API[^;(]*KEST_CALL[ \t]+[A-Za-z_0-9]+[ \t]*\\(" declarations "${text}")
  set(names)
  foreach(declaration IN LISTS declarations)
    string(REGEX REPLACE ".*KEST_CALL[ \t]+([A-Za-z_0-9]+).*" "\\1" name "${declaration}")
    list(APPEND names ${name})
  endforeach()
  set(${out} ${names} PARENT_SCOPE)
endfunction()
