# Signs the release's programs with Authenticode (osslsigncode), in place, when a certificate and
# its key are given; signs nothing otherwise. Run by the release target:
#   cmake [-DTARN_SIGN_CERT=FILE -DTARN_SIGN_KEY=FILE] [-DTARN_SIGN_PASSWORD_FILE=FILE]
#         [-DTARN_SIGN_TIMESTAMP=URL] -P sign.cmake FILE...
# Each setting left empty is taken from the environment variable of the same name when the release
# is made. The certificate (PEM or DER, with its chain) and the key (PEM or DER; encrypted keys take
# the password file) are osslsigncode's -certs and -key. Either every file is signed or none is
# changed: each is signed into a copy, and the copies replace the files only when all succeeded.

foreach(setting TARN_SIGN_CERT TARN_SIGN_KEY TARN_SIGN_PASSWORD_FILE TARN_SIGN_TIMESTAMP)
  if("${${setting}}" STREQUAL "" AND NOT "$ENV{${setting}}" STREQUAL "")
    set(${setting} "$ENV{${setting}}")
  endif()
endforeach()

# The files: the arguments after the script's name.
set(files "")
set(seen "")  # becomes "-P", then "script" once the script's name has passed
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE 1 ${last})
  if(seen STREQUAL "script")
    list(APPEND files "${CMAKE_ARGV${i}}")
  elseif(seen STREQUAL "-P")
    set(seen "script")
  elseif(CMAKE_ARGV${i} STREQUAL "-P")
    set(seen "-P")
  endif()
endforeach()

if("${TARN_SIGN_CERT}" STREQUAL "" AND "${TARN_SIGN_KEY}" STREQUAL "")
  message(STATUS "Release: not signed (no TARN_SIGN_CERT and TARN_SIGN_KEY given)")
  return()
endif()
if("${TARN_SIGN_CERT}" STREQUAL "" OR "${TARN_SIGN_KEY}" STREQUAL "")
  message(FATAL_ERROR "Release: signing needs both TARN_SIGN_CERT and TARN_SIGN_KEY; only one is given")
endif()
foreach(f IN ITEMS "${TARN_SIGN_CERT}" "${TARN_SIGN_KEY}" ${TARN_SIGN_PASSWORD_FILE} ${files})
  if(NOT EXISTS "${f}")
    message(FATAL_ERROR "Release: ${f} does not exist")
  endif()
endforeach()
if("${files}" STREQUAL "")
  message(FATAL_ERROR "Release: no files to sign")
endif()
find_program(TARN_OSSLSIGNCODE osslsigncode)
if(NOT TARN_OSSLSIGNCODE)
  message(FATAL_ERROR "Release: signing needs osslsigncode (the Debian package osslsigncode)")
endif()

set(options -certs "${TARN_SIGN_CERT}" -key "${TARN_SIGN_KEY}" -h sha256 -n "Tarn BIOS tools")
if(NOT "${TARN_SIGN_PASSWORD_FILE}" STREQUAL "")
  list(APPEND options -readpass "${TARN_SIGN_PASSWORD_FILE}")
endif()
if(NOT "${TARN_SIGN_TIMESTAMP}" STREQUAL "")
  list(APPEND options -ts "${TARN_SIGN_TIMESTAMP}")
endif()
set(signed "")
foreach(f IN LISTS files)
  file(REMOVE "${f}.signed")
  execute_process(COMMAND "${TARN_OSSLSIGNCODE}" sign ${options} -in "${f}" -out "${f}.signed"
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    file(REMOVE "${f}.signed" ${signed})
    message(FATAL_ERROR "Release: osslsigncode could not sign ${f}:\n${out}")
  endif()
  list(APPEND signed "${f}.signed")
endforeach()
foreach(f IN LISTS files)
  file(RENAME "${f}.signed" "${f}")
  message(STATUS "Release: signed ${f}")
endforeach()
