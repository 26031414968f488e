# "VT_CHECKER" 243 of TarvoLoader.exe: the probe library that the VT-x check unpacks
# into the user data folder. The folder item comes first (the unpacker skips files
# whose folder does not exist yet). The signed drivers join only when their folder
# is given; without them isVTOn answers 0, which is only logged.
set(TARVO_SIGNED_DRIVERS_DIR "" CACHE PATH
  "Folder holding the signed hvsense_32.sys and hvsense_64.sys for the VT_CHECKER archive")
set(TARVO_VTCHECKER_ZIP ${CMAKE_BINARY_DIR}/res/vtchecker.zip)
set(_vt_zipper ${CMAKE_BINARY_DIR}/res/make_vtchecker.py)
file(WRITE ${_vt_zipper} [=[
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as archive:
    for entry in sys.argv[2:]:
        if entry.endswith("/"):
            info = zipfile.ZipInfo(entry, date_time=(2020, 1, 1, 0, 0, 0))
            info.external_attr = (0o40755 << 16) | 0x10
            archive.writestr(info, b"")
        else:
            name, path = entry.split("=", 1)
            info = zipfile.ZipInfo(name, date_time=(2020, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o100644 << 16
            with open(path, "rb") as source:
                archive.writestr(info, source.read())
]=])
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
