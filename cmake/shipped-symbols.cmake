# What ships carries no debug sections: after each link a shipped file's debug information moves to
# FILE.debug beside it, and the file keeps only its name and CRC-32 (the .gnu_debuglink section), by
# which a debugger finds that file and knows it for the same build's. The release packs the .debug
# files into a zip of their own.
#   tarn_split_symbols(TARGET)
find_program(TARN_OBJCOPY ${TARN_MINGW_TRIPLE}-objcopy REQUIRED)
function(tarn_split_symbols target)
  set(file $<TARGET_FILE:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${TARN_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${TARN_OBJCOPY} --strip-all --add-gnu-debuglink=${file}.debug ${file}
    VERBATIM)
endfunction()
