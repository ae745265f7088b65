# The application manifest of the Windows programs (app.manifest, linked
# through app.rc): supported versions Windows 7 to 11, long paths, the
# caller's rights. Each program's CMakeLists.txt includes this file and
# calls add_app_manifest(<program>).
set(APP_MANIFEST_DIR ${CMAKE_CURRENT_LIST_DIR})

function(add_app_manifest target)
  if(WIN32)
    target_sources(${target} PRIVATE ${APP_MANIFEST_DIR}/app.rc)
    set_source_files_properties(${APP_MANIFEST_DIR}/app.rc PROPERTIES
      OBJECT_DEPENDS ${APP_MANIFEST_DIR}/app.manifest)
  endif()
endfunction()
