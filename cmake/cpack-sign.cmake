# Run by CPack once it has installed and stripped the Windows program, before it zips it. Given a
# code-signing certificate and its key (PEM files named by the environment's SIFROVAC_SIGN_CERT and
# SIFROVAC_SIGN_KEY), it signs the program with Authenticode (osslsigncode, SHA-256), dated by
# SOURCE_DATE_EPOCH, so that the same sources still give the same zip.
if(NOT DEFINED ENV{SIFROVAC_SIGN_CERT} OR "$ENV{SIFROVAC_SIGN_CERT}" STREQUAL "")
  return()
endif()
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_DIRECTORY}/*.exe")
if(NOT programs)
  message(FATAL_ERROR "no program to sign under ${CPACK_TEMPORARY_DIRECTORY}")
endif()
foreach(program IN LISTS programs)
  execute_process(
    COMMAND osslsigncode sign -certs $ENV{SIFROVAC_SIGN_CERT} -key $ENV{SIFROVAC_SIGN_KEY}
            -h sha256 -n sifrovac -time $ENV{SOURCE_DATE_EPOCH} -in ${program} -out ${program}.signed
    RESULT_VARIABLE failed OUTPUT_QUIET)
  if(failed)
    message(FATAL_ERROR "osslsigncode could not sign ${program}")
  endif()
  # Copied over the program rather than renamed, so that it keeps its mode whatever the umask.
  execute_process(COMMAND cp ${program}.signed ${program} RESULT_VARIABLE failed)
  file(REMOVE ${program}.signed)
  if(failed)
    message(FATAL_ERROR "could not copy the signed ${program}")
  endif()
endforeach()
