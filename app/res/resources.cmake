# The loader's embedded archives. They are built by other targets into the build
# tree, so the resource script is generated there with their paths.
set(_res_rc ${CMAKE_BINARY_DIR}/loader_resources.rc)
set(_dizu_zip ${CMAKE_BINARY_DIR}/dizu/peerfetch.zip)
file(WRITE ${_res_rc}.in "// generated from app/res/resources.cmake\n211 DIZU \"${_dizu_zip}\"\n")
configure_file(${_res_rc}.in ${_res_rc} COPYONLY)
target_sources(TarvoLoader PRIVATE ${_res_rc})
set_source_files_properties(${_res_rc} PROPERTIES OBJECT_DEPENDS "${_dizu_zip}")
add_dependencies(TarvoLoader peerfetch_dizu)

# "VT_CHECKER" 243: the probe library, unpacked by the VT-x check.
include(${CMAKE_CURRENT_LIST_DIR}/vtchecker.cmake)
target_sources(TarvoLoader PRIVATE ${VTCHECKER_RC})
add_dependencies(TarvoLoader vtchecker_zip)

# The dialog, tray menu, icon and pictures.
include(${CMAKE_CURRENT_LIST_DIR}/loader_rc.cmake)
