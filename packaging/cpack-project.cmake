# Read by cpack before it installs anything: Debian packages install under
# /usr, so the build must have been configured for that prefix.
if(CPACK_GENERATOR STREQUAL "DEB" AND NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
  message(FATAL_ERROR "Debian packages install under /usr, this build under '${CPACK_PACKAGING_INSTALL_PREFIX}': "
                      "configure it with -DCMAKE_INSTALL_PREFIX=/usr and build it again, then run cpack -G DEB.")
endif()
