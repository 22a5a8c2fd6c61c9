# Run by CPack before it makes the .deb: without these tools it would make one silently without
# its Depends line, or from a program built without Debian's hardening.
foreach(tool IN ITEMS file dpkg-shlibdeps)
  find_program(found_${tool} ${tool})
  if(NOT found_${tool})
    message(FATAL_ERROR "The Debian package needs '${tool}': run tools/install-packages tests")
  endif()
endforeach()
if(NOT CPACK_SIFROVAC_HARDENED)
  message(FATAL_ERROR "The program was configured without dpkg-buildflags, so without Debian's "
                      "hardening: run tools/install-packages tests, then cmake again")
endif()
