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
