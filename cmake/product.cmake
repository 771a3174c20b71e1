# What ships, made from the Windows test build: ZIM.exe and TARNSYS.dll come from a build of their
# own (build/windows/product) with the win32 thread model and the Windows 95 / NT 4.0 API level, and
# land in this build's bin folder, where the tests and the end-to-end cases examine these very files.
include(ExternalProject)
# Both files are stripped there, their debug information beside them in FILE.debug.
set(TARN_PRODUCT_FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/ZIM.exe ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/TARNSYS.dll)
list(TRANSFORM TARN_PRODUCT_FILES APPEND .debug OUTPUT_VARIABLE TARN_PRODUCT_SYMBOLS)
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
  BUILD_BYPRODUCTS ${TARN_PRODUCT_FILES} ${TARN_PRODUCT_SYMBOLS}
  USES_TERMINAL_BUILD ON)

# The release: build/windows/release/ and a zip of it, from the very files the Windows tier tests,
# and a second zip with their symbols (symbols/release/, so that it unpacks beside the programs).
# The shipped def names the stdcall callers' decorated symbols (GetAttribute@16) at the DLL's
# ordinals; import libraries made from it with -k (kill-at) bind them to the DLL's plain exports:
# libTARNSYS.dll.a for mingw-w64, TARNSYS.lib (short import members, names undecorated) for the
# Microsoft toolchain.
set(TARN_RELEASE_DIR ${CMAKE_BINARY_DIR}/release)
set(TARN_RELEASE_ZIP ${CMAKE_BINARY_DIR}/tarn-bios-tools-${PROJECT_VERSION}-windows.zip)
set(TARN_SYMBOLS_DIR ${CMAKE_BINARY_DIR}/symbols)
set(TARN_SYMBOLS_ZIP ${CMAKE_BINARY_DIR}/tarn-bios-tools-${PROJECT_VERSION}-windows-symbols.zip)
set(TARN_RELEASE_DEF ${CMAKE_BINARY_DIR}/release-TARNSYS.def)
file(READ ${CMAKE_SOURCE_DIR}/tarnsys/tarnsys.def tarn_def)
string(REGEX REPLACE "([A-Za-z]+) = ([A-Za-z]+@[0-9]+)" "\\2" tarn_release_def "${tarn_def}")
file(WRITE ${TARN_RELEASE_DEF} "; TARNSYS.DLL's exports as stdcall callers link them (GetServiceTag@8), at their ordinals.
; Make an import library with -k, so that it imports the DLL's plain names:
;   dlltool -k -d TARNSYS.def -l libTARNSYS.dll.a
;   llvm-dlltool -m i386 -k -d TARNSYS.def -l TARNSYS.lib
${tarn_release_def}")
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
find_program(TARN_LLVM_DLLTOOL llvm-dlltool REQUIRED)
add_custom_target(release
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${TARN_RELEASE_DIR} ${TARN_RELEASE_ZIP} ${TARN_SYMBOLS_DIR} ${TARN_SYMBOLS_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${TARN_RELEASE_DIR} ${TARN_SYMBOLS_DIR}/release
  COMMAND ${CMAKE_COMMAND} -E copy ${TARN_PRODUCT_FILES} ${CMAKE_SOURCE_DIR}/tarnsys/tarnsys.h
          ${TARN_RELEASE_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy ${TARN_PRODUCT_SYMBOLS} ${TARN_SYMBOLS_DIR}/release
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_BINARY_DIR}/release-README.txt ${TARN_RELEASE_DIR}/README.txt
  COMMAND ${CMAKE_COMMAND} -E copy ${TARN_RELEASE_DEF} ${TARN_RELEASE_DIR}/TARNSYS.def
  COMMAND ${TARN_DLLTOOL} --kill-at --input-def ${TARN_RELEASE_DEF} --output-lib ${TARN_RELEASE_DIR}/libTARNSYS.dll.a
  COMMAND ${TARN_LLVM_DLLTOOL} -m i386 -k -d ${TARN_RELEASE_DEF} -l ${TARN_RELEASE_DIR}/TARNSYS.lib
  COMMAND ${CMAKE_COMMAND} -DTARN_SIGN_CERT=${TARN_SIGN_CERT} -DTARN_SIGN_KEY=${TARN_SIGN_KEY}
          -DTARN_SIGN_PASSWORD_FILE=${TARN_SIGN_PASSWORD_FILE} -DTARN_SIGN_TIMESTAMP=${TARN_SIGN_TIMESTAMP}
          -P ${CMAKE_SOURCE_DIR}/cmake/release/sign.cmake ${TARN_RELEASE_DIR}/ZIM.exe ${TARN_RELEASE_DIR}/TARNSYS.dll
  COMMAND ${CMAKE_COMMAND} -E chdir ${CMAKE_BINARY_DIR} ${CMAKE_COMMAND} -E tar cf ${TARN_RELEASE_ZIP} --format=zip release
  COMMAND ${CMAKE_COMMAND} -E chdir ${TARN_SYMBOLS_DIR} ${CMAKE_COMMAND} -E tar cf ${TARN_SYMBOLS_ZIP} --format=zip release
  DEPENDS tarn_product
  COMMENT "Release: ${TARN_RELEASE_DIR}, ${TARN_RELEASE_ZIP} and ${TARN_SYMBOLS_ZIP}"
  VERBATIM)
