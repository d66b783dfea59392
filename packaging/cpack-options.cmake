# Read by cpack for each package it builds.
if(CPACK_GENERATOR STREQUAL "DEB")
  # Without it CPack would build a package that names none of the libraries it needs, which
  # installs and then fails to start.
  find_program(VELTRACE_SHLIBDEPS dpkg-shlibdeps)
  if(NOT VELTRACE_SHLIBDEPS)
    message(FATAL_ERROR "dpkg-shlibdeps is missing: it finds the libraries the package depends on. "
                        "Install it: sudo apt-get install dpkg-dev file")
  endif()
endif()
