# Cross build for 32-bit Windows with mingw-w64, linked statically so that programs import nothing
# but system DLLs. The thread model is TARN_MINGW_THREADS: "win32" for what ships (its runtime
# imports only what Windows 95 and NT 4.0 export), "posix" (the default) for the test programs,
# since GoogleTest needs std::mutex, which only the posix runtime has. Programs built here run under
# Wine through cmake/wine-run.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

if(NOT TARN_MINGW_THREADS)
  set(TARN_MINGW_THREADS posix)
endif()
# try_compile projects read this file again: hand them the choice.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARN_MINGW_THREADS)

set(TARN_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TARN_MINGW_TRIPLE}-gcc-${TARN_MINGW_THREADS})
set(CMAKE_CXX_COMPILER ${TARN_MINGW_TRIPLE}-g++-${TARN_MINGW_THREADS})
set(CMAKE_RC_COMPILER ${TARN_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TARN_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
