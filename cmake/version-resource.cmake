# The version resource of a shipped file, as resource-file text, from the project's version (the
# one project() in the top CMakeLists.txt names and the release zip carries): Explorer's Details
# page and deployment tools read the file version from it.
#   tarn_version_resource(OUT_VAR FILE_NAME DESCRIPTION FILE_TYPE)
# FILE_TYPE is 1 for a program (VFT_APP), 2 for a library (VFT_DLL). FILEOS is VOS__WINDOWS32: 32-bit
# Windows of either family, since both files run on Windows 95 as on NT.
function(tarn_version_resource out file_name description file_type)
  set(numbers "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
  get_filename_component(internal "${file_name}" NAME_WE)
  set(${out} "1 VERSIONINFO
FILEVERSION ${numbers}
PRODUCTVERSION ${numbers}
FILEFLAGSMASK 0x3F
FILEFLAGS 0
FILEOS 0x4
FILETYPE ${file_type}
FILESUBTYPE 0
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"040904B0\"
    BEGIN
      VALUE \"CompanyName\", \"Tarn\"
      VALUE \"FileDescription\", \"${description}\"
      VALUE \"FileVersion\", \"${PROJECT_VERSION}\"
      VALUE \"InternalName\", \"${internal}\"
      VALUE \"OriginalFilename\", \"${file_name}\"
      VALUE \"ProductName\", \"Tarn BIOS tools\"
      VALUE \"ProductVersion\", \"${PROJECT_VERSION}\"
    END
  END
  BLOCK \"VarFileInfo\"
  BEGIN
    VALUE \"Translation\", 0x0409, 1200
  END
END
" PARENT_SCOPE)
endfunction()
