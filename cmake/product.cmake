# What ships, made from the Windows test build: ZIM.exe and TARNSYS.dll come from a build of their
# own (build/windows/product) with the win32 thread model and the Windows 95 / NT 4.0 API level, and
# land in this build's bin folder, where the tests and the end-to-end cases examine these very files.
include(ExternalProject)
set(TARN_PRODUCT_FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ZIM.exe ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/TARNSYS.dll)
ExternalProject_Add(tarn_product
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/product
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw32.cmake
    -DTARN_MINGW_THREADS=win32
    -DTARN_PRODUCT=ON
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DCMAKE_C_FLAGS_RELEASE=${CMAKE_C_FLAGS_RELEASE}
    -DCMAKE_CXX_FLAGS_RELEASE=${CMAKE_CXX_FLAGS_RELEASE}
    -DCMAKE_RUNTIME_OUTPUT_DIRECTORY=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  BUILD_BYPRODUCTS ${TARN_PRODUCT_FILES}
  USES_TERMINAL_BUILD ON)

# The release: build/windows/release/ and a zip of it, from the very files the Windows tier tests.
# The import library is made for stdcall callers: their decorated names (GetAttribute@16) are bound
# to the DLL's plain exports.
set(TARN_RELEASE_DIR ${CMAKE_BINARY_DIR}/release)
set(TARN_RELEASE_ZIP ${CMAKE_BINARY_DIR}/tarn-bios-tools-${PROJECT_VERSION}-windows.zip)
file(READ ${CMAKE_SOURCE_DIR}/tarnsys/tarnsys.def tarn_def)
string(REGEX REPLACE "([A-Za-z]+) = ([A-Za-z]+@[0-9]+)" "\\2" tarn_implib_def "${tarn_def}")
file(WRITE ${CMAKE_BINARY_DIR}/TARNSYS-implib.def "${tarn_implib_def}")
# Text files in the zip have Windows line ends, for the Notepad of Windows 95 and NT 4.0.
configure_file(${CMAKE_SOURCE_DIR}/cmake/release/README.txt ${CMAKE_BINARY_DIR}/release-README.txt NEWLINE_STYLE CRLF)
# Authenticode signing of the release's ZIM.exe and TARNSYS.dll (cmake/release/sign.cmake): each
# setting left empty here is read from the environment variable of the same name when the release is
# made; with no certificate and key nothing is signed.
set(TARN_SIGN_CERT "" CACHE FILEPATH "Code-signing certificate (PEM or DER, with its chain) for the release")
set(TARN_SIGN_KEY "" CACHE FILEPATH "The certificate's private key (PEM or DER)")
set(TARN_SIGN_PASSWORD_FILE "" CACHE FILEPATH "A file holding the key's password, for an encrypted key")
set(TARN_SIGN_TIMESTAMP "" CACHE STRING "URL of an Authenticode timestamp server")
find_program(TARN_DLLTOOL ${TARN_MINGW_TRIPLE}-dlltool REQUIRED)
add_custom_target(release
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TARN_RELEASE_DIR} ${TARN_RELEASE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TARN_RELEASE_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy ${TARN_PRODUCT_FILES} ${CMAKE_SOURCE_DIR}/tarnsys/tarnsys.h
          ${TARN_RELEASE_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/release-README.txt ${TARN_RELEASE_DIR}/README.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/tarnsys/tarnsys.def ${TARN_RELEASE_DIR}/TARNSYS.def
  COMMAND ${TARN_DLLTOOL} --kill-at --input-def ${CMAKE_BINARY_DIR}/TARNSYS-implib.def
          --dllname TARNSYS.DLL --output-lib ${TARN_RELEASE_DIR}/libTARNSYS.dll.a
  COMMAND ${CMAKE_COMMAND} -DTARN_SIGN_CERT=${TARN_SIGN_CERT} -DTARN_SIGN_KEY=${TARN_SIGN_KEY}
          -DTARN_SIGN_PASSWORD_FILE=${TARN_SIGN_PASSWORD_FILE} -DTARN_SIGN_TIMESTAMP=${TARN_SIGN_TIMESTAMP}
          -P ${CMAKE_SOURCE_DIR}/cmake/release/sign.cmake ${TARN_RELEASE_DIR}/ZIM.exe ${TARN_RELEASE_DIR}/TARNSYS.dll
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR} ${CMAKE_COMMAND} -E tar cf ${TARN_RELEASE_ZIP} --format=zip release
  DEPENDS tarn_product
  COMMENT "Release: ${TARN_RELEASE_DIR} and ${TARN_RELEASE_ZIP}"
  VERBATIM)
