# Loaded by CPack before it installs, strips and zips. The same sources give the same zip: strip
# stamps the .exe with SOURCE_DATE_EPOCH (else with the time it runs), CPack gives every entry that
# time too, and as a zip entry's time is a local one, the zip is written in UTC.
set(ENV{TZ} UTC0)
if(CPACK_SIFROVAC_EPOCH AND NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${CPACK_SIFROVAC_EPOCH})
endif()
