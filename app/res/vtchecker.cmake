# "VT_CHECKER" 243 of TarvoLoader.exe: the probe library that the VT-x check unpacks
# into the user data folder. The folder item comes first (the unpacker skips files
# whose folder does not exist yet). The signed drivers join only when their folder
# is given; without them isVTOn answers 0, which is only logged.
set(TARVO_SIGNED_DRIVERS_DIR "" CACHE PATH
  "Folder holding the signed hvsense_32.sys and hvsense_64.sys for the VT_CHECKER archive")
set(TARVO_VTCHECKER_ZIP ${CMAKE_BINARY_DIR}/res/vtchecker.zip)
set(_vt_zipper ${PROJECT_SOURCE_DIR}/scripts/make_zip.py)
set(_vt_entries vtchecker/ vtchecker/hvprobe.dll=$<TARGET_FILE:hvprobe>)
set(_vt_depends hvprobe ${_vt_zipper})
if(TARVO_SIGNED_DRIVERS_DIR)
  foreach(_sys hvsense_32.sys hvsense_64.sys)
    if(NOT EXISTS ${TARVO_SIGNED_DRIVERS_DIR}/${_sys})
      message(FATAL_ERROR "TARVO_SIGNED_DRIVERS_DIR has no ${_sys}")
    endif()
    list(APPEND _vt_entries vtchecker/${_sys}=${TARVO_SIGNED_DRIVERS_DIR}/${_sys})
    list(APPEND _vt_depends ${TARVO_SIGNED_DRIVERS_DIR}/${_sys})
  endforeach()
endif()
add_custom_command(OUTPUT ${TARVO_VTCHECKER_ZIP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/res
  COMMAND python3 ${_vt_zipper} ${TARVO_VTCHECKER_ZIP} ${_vt_entries}
  DEPENDS ${_vt_depends}
  COMMENT "Packing ${TARVO_VTCHECKER_ZIP}" VERBATIM)
add_custom_target(vtchecker_zip DEPENDS ${TARVO_VTCHECKER_ZIP})
# The resource line; windres reads the archive when TarvoLoader's resources compile.
set(VTCHECKER_RC ${CMAKE_BINARY_DIR}/res/vtchecker.rc)
file(WRITE ${VTCHECKER_RC} "243 VT_CHECKER \"${TARVO_VTCHECKER_ZIP}\"\n")
set_source_files_properties(${VTCHECKER_RC} PROPERTIES OBJECT_DEPENDS ${TARVO_VTCHECKER_ZIP})
