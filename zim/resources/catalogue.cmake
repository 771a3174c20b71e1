# The flash program's resources from one source: messages.txt holds the message texts, the
# variables below the main dialog's template, icon.txt the icon, zim.manifest.in the manifest; the
# version comes from the project's. At configure time this writes
#   - zim_catalogue.cpp: the same as C++ data (library zim_catalogue), which hosts/zim hands to a
#     simulated machine that runs ZIM;
#   - zim.rc: the resource file of the Windows program (its path in ZIM_RC_FILE).
# Plain CMake, no host program, so it works the same in a cross build.

set(ZIM_MESSAGES_FILE ${CMAKE_CURRENT_LIST_DIR}/messages.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ZIM_MESSAGES_FILE})

# Dialog template 102.
set(ZIM_DLG_LANGUAGE 0x0409)
set(ZIM_DLG_STYLE 0x90C800C0)
set(ZIM_DLG_EXSTYLE 0x00040000)
set(ZIM_DLG_RECT 0 0 130 101)
set(ZIM_DLG_CAPTION "Tarn BIOS update")
set(ZIM_DLG_FONT_POINTS 8)
set(ZIM_DLG_FONT_FACE "MS Sans Serif")
set(ZIM_DLG_FONT_WEIGHT 0)
set(ZIM_DLG_FONT_ITALIC 0)
set(ZIM_DLG_FONT_CHARSET 1)
# Its controls, in order: id macro, class, text, style, extended style, x, y, width, height.
set(ZIM_DLG_ITEMS
    "IDC_STC_ERRORCODE|Static||0x50020000|0|51|46|26|8"
    "IDC_BTN_OK|Button|OK|0x40010000|0|39|80|50|14")

# ---- read the texts
# Characters that CMake lists treat specially are coded before the file is split into lines.
file(READ ${ZIM_MESSAGES_FILE} zim_content)
string(REPLACE "@" "@AT@" zim_content "${zim_content}")
string(REPLACE ";" "@SC@" zim_content "${zim_content}")
string(REPLACE "[" "@LB@" zim_content "${zim_content}")
string(REPLACE "]" "@RB@" zim_content "${zim_content}")
string(REPLACE "\r" "" zim_content "${zim_content}")
string(REPLACE "\n" ";" zim_lines "${zim_content}")

function(zim_decode out text)
  string(REPLACE "@RB@" "]" text "${text}")
  string(REPLACE "@LB@" "[" text "${text}")
  string(REPLACE "@SC@" ";" text "${text}")
  string(REPLACE "@AT@" "@" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(zim_cpp_texts "")
set(zim_keys "")
set(zim_rc_tables "")
set(zim_languages "")
set(zim_line_no 0)
set(zim_count 0)
foreach(line IN LISTS zim_lines)
  math(EXPR zim_line_no "${zim_line_no} + 1")
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  if(NOT line MATCHES "^0x([0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f])\t([1-9][0-9]*)\t\"(.*)\"$")
    message(FATAL_ERROR "${ZIM_MESSAGES_FILE}:${zim_line_no}: expected LANGID<TAB>ID<TAB>\"text\"")
  endif()
  string(TOUPPER "${CMAKE_MATCH_1}" lang)
  set(id "${CMAKE_MATCH_2}")
  zim_decode(text "${CMAKE_MATCH_3}")
  # Only \n, \\ and \" are escapes; a bare double quote or any other backslash is a mistake.
  string(REGEX REPLACE "\\\\[n\\\\\"]" "" bare "${text}")
  if(bare MATCHES "[\\\\\"]")
    message(FATAL_ERROR "${ZIM_MESSAGES_FILE}:${zim_line_no}: only \\n, \\\\ and \\\" may be escaped")
  endif()
  if("0x${lang}_${id}" IN_LIST zim_keys)
    message(FATAL_ERROR "${ZIM_MESSAGES_FILE}:${zim_line_no}: text ${id} of block 0x${lang} given twice")
  endif()
  list(APPEND zim_keys "0x${lang}_${id}")
  if(NOT "${lang}" IN_LIST zim_languages)
    list(APPEND zim_languages "${lang}")
    set(zim_rc_block_${lang} "")
  endif()
  string(APPEND zim_cpp_texts "    {0x${lang}, ${id}, \"${text}\"},\n")
  # The resource compiler writes a double quote inside a string as two.
  string(REPLACE "\\\"" "\"\"" rc_text "${text}")
  string(APPEND zim_rc_block_${lang} "    ${id}, \"${rc_text}\"\n")
  math(EXPR zim_count "${zim_count} + 1")
endforeach()
if(zim_count EQUAL 0)
  message(FATAL_ERROR "${ZIM_MESSAGES_FILE}: no texts")
endif()

foreach(lang IN LISTS zim_languages)
  math(EXPR primary "0x${lang} & 0x3FF" OUTPUT_FORMAT HEXADECIMAL)
  math(EXPR sub "0x${lang} >> 10" OUTPUT_FORMAT HEXADECIMAL)
  string(APPEND zim_rc_tables "LANGUAGE ${primary}, ${sub}\nSTRINGTABLE\nBEGIN\n${zim_rc_block_${lang}}END\n\n")
endforeach()

# ---- the dialog template
math(EXPR ZIM_DLG_PRIMARY "${ZIM_DLG_LANGUAGE} & 0x3FF" OUTPUT_FORMAT HEXADECIMAL)
math(EXPR ZIM_DLG_SUB "${ZIM_DLG_LANGUAGE} >> 10" OUTPUT_FORMAT HEXADECIMAL)
list(JOIN ZIM_DLG_RECT ", " ZIM_DLG_RECT_TEXT)
set(ZIM_DLG_RC_ITEMS "")
set(ZIM_DLG_CPP_ITEMS "")
foreach(item IN LISTS ZIM_DLG_ITEMS)
  string(REPLACE "|" ";" f "${item}")
  list(GET f 0 id)
  list(GET f 1 class)
  list(GET f 2 text)
  list(GET f 3 style)
  list(GET f 4 exstyle)
  list(SUBLIST f 5 4 rect)
  list(JOIN rect ", " rect_text)
  # The predefined classes go in as their ordinals, as the platform's resource compiler writes them.
  if(class STREQUAL "Button")
    set(rc_class 0x0080)
  elseif(class STREQUAL "Static")
    set(rc_class 0x0082)
  else()
    set(rc_class "\"${class}\"")
  endif()
  # The resource compiler makes every control visible unless told otherwise.
  set(rc_style "${style}")
  math(EXPR visible "${style} & 0x10000000")
  if(visible EQUAL 0)
    set(rc_style "${style} | NOT 0x10000000")
  endif()
  string(APPEND ZIM_DLG_RC_ITEMS "    CONTROL \"${text}\", ${id}, ${rc_class}, ${rc_style}, ${rect_text}, ${exstyle}\n")
  string(APPEND ZIM_DLG_CPP_ITEMS "    {${id}, \"${class}\", \"${text}\", ${style}, ${exstyle}, ${rect_text}},\n")
endforeach()

# ---- the manifest, the icon and the version resource
include(${CMAKE_CURRENT_LIST_DIR}/icon.cmake)
include(${CMAKE_SOURCE_DIR}/cmake/version-resource.cmake)
tarn_version_resource(ZIM_VERSION_RESOURCE ZIM.exe "${ZIM_DLG_CAPTION}" 1)
set(ZIM_MANIFEST_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(ZIM_MANIFEST_FILE ${CMAKE_CURRENT_BINARY_DIR}/zim.manifest)
configure_file(${CMAKE_CURRENT_LIST_DIR}/zim.manifest.in ${ZIM_MANIFEST_FILE} @ONLY)

set(ZIM_MESSAGE_TEXTS "${zim_cpp_texts}")
set(ZIM_STRING_TABLES "${zim_rc_tables}")
set(ZIM_RESOURCE_HEADER ${CMAKE_CURRENT_LIST_DIR}/resource.h)
configure_file(${CMAKE_CURRENT_LIST_DIR}/catalogue.cpp.in ${CMAKE_CURRENT_BINARY_DIR}/zim_catalogue.cpp @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/zim.rc.in ${CMAKE_CURRENT_BINARY_DIR}/zim.rc @ONLY)

add_library(zim_catalogue STATIC ${CMAKE_CURRENT_BINARY_DIR}/zim_catalogue.cpp)
target_include_directories(zim_catalogue PUBLIC ${CMAKE_SOURCE_DIR})

set(ZIM_RC_FILE ${CMAKE_CURRENT_BINARY_DIR}/zim.rc CACHE INTERNAL "The flash program's generated resource file")
