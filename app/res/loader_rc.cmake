# The loader's own resources (dialog, menu, icon, pictures) for a target: the loader
# and the dialog's test program.
set(TARVO_LOADER_RC ${CMAKE_CURRENT_LIST_DIR}/loader.rc)
file(GLOB _loader_art CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/art/*.png ${CMAKE_CURRENT_LIST_DIR}/art/*.ico)
set(TARVO_LOADER_RC_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/resource_ids.h ${_loader_art})
set_source_files_properties(${TARVO_LOADER_RC} PROPERTIES
  OBJECT_DEPENDS "${TARVO_LOADER_RC_DEPENDS}"
  INCLUDE_DIRECTORIES ${CMAKE_CURRENT_LIST_DIR})
