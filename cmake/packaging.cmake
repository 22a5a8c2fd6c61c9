# What is installed, and the Windows zip (CPack). The Debian package is made from debian/ by
# dpkg-buildpackage, which installs this and adds the copyright and the changelog.
set(CPACK_PACKAGE_NAME sifrovac)
set(CPACK_PACKAGE_VENDOR "Zublik a Kvoderinka")
set(CPACK_PACKAGE_CONTACT "Zublik a Kvoderinka <sifrovac@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "encode and decode text files with a fixed substitution")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  # A Windows user has no man: a text file in Czech with CR LF line ends goes beside the .exe.
  install(TARGETS sifrovac RUNTIME DESTINATION .)
  foreach(pair IN ITEMS packaging/CTIMNE.txt:CTIMNE.txt LICENSE:LICENSE.txt)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 from)
    list(GET pair 1 to)
    configure_file(${PROJECT_SOURCE_DIR}/${from} ${CMAKE_BINARY_DIR}/lf/${to} @ONLY)
    file(READ ${CMAKE_BINARY_DIR}/lf/${to} text)
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${CMAKE_BINARY_DIR}/${to} "${text}")
    install(FILES ${CMAKE_BINARY_DIR}/${to} DESTINATION .)
  endforeach()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_STRIP_FILES ON)
  # The same sources give the same zip: its entries and the stripped .exe carry the time of the
  # last changelog entry (or else commit), as the Debian package does (cmake/cpack-reproducible.cmake).
  set(CPACK_SIFROVAC_EPOCH $ENV{SOURCE_DATE_EPOCH})
  if(NOT CPACK_SIFROVAC_EPOCH)
    execute_process(COMMAND dpkg-parsechangelog -l ${PROJECT_SOURCE_DIR}/debian/changelog -STimestamp
                    OUTPUT_VARIABLE CPACK_SIFROVAC_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT CPACK_SIFROVAC_EPOCH)
    execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                    OUTPUT_VARIABLE CPACK_SIFROVAC_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/debian/changelog)
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-reproducible.cmake)
  # The stripped program, as the zip holds it, is signed where a certificate is given.
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/cpack-sign.cmake)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_PACKAGE_FILE_NAME sifrovac-${PROJECT_VERSION}-win64)
  else()
    set(CPACK_PACKAGE_FILE_NAME sifrovac-${PROJECT_VERSION}-win32)
  endif()
  include(CPack)
  return()
endif()

install(TARGETS sifrovac RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, English where every reader looks and Czech in the Czech locale's place, compressed
# as Debian wants them (gzip -9n: no name, no time stamp).
set(pages man/sifrovac.1:${CMAKE_INSTALL_MANDIR}/man1 man/cs/sifrovac.1:${CMAKE_INSTALL_MANDIR}/cs/man1)
set(compressed)
foreach(pair IN LISTS pages)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 page)
  list(GET pair 1 destination)
  configure_file(${PROJECT_SOURCE_DIR}/${page}.in ${CMAKE_BINARY_DIR}/${page} @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${page}.gz
                     COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/${page} > ${CMAKE_BINARY_DIR}/${page}.gz
                     DEPENDS ${CMAKE_BINARY_DIR}/${page})
  list(APPEND compressed ${CMAKE_BINARY_DIR}/${page}.gz)
  install(FILES ${CMAKE_BINARY_DIR}/${page}.gz DESTINATION ${destination})
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${compressed})
