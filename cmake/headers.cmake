# quoralith_export_headers(<target> <folder>...)
#
# A target sees its own headers and those of the targets it links, and no
# others, so that an include pointing the wrong way (the coder reaching into
# the engine, a dialog into the application above it) fails to compile rather
# than quietly tying the layers together. The headers keep their spelling
# from the source root ("engine/engine.h"): at configure time each target gets
# an include root of its own in the build tree, holding links to the headers
# of its folders, and exports that root. Headers named *_internal.h are the
# target's own business and are linked into a private root instead.
function(quoralith_export_headers target)
  set(public_root ${CMAKE_BINARY_DIR}/include/${target})
  set(private_root ${CMAKE_BINARY_DIR}/include-private/${target})
  # A header removed or renamed must not linger as a link.
  file(REMOVE_RECURSE ${public_root} ${private_root})
  file(MAKE_DIRECTORY ${public_root} ${private_root})
  foreach(folder IN LISTS ARGN)
    file(GLOB headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${folder}/*.h)
    foreach(header IN LISTS headers)
      get_filename_component(name ${header} NAME)
      if(name MATCHES "_internal\\.h$")
        set(root ${private_root})
      else()
        set(root ${public_root})
      endif()
      file(MAKE_DIRECTORY ${root}/${folder})
      file(CREATE_LINK ${header} ${root}/${folder}/${name} SYMBOLIC)
    endforeach()
  endforeach()
  target_include_directories(${target} PUBLIC ${public_root} PRIVATE ${private_root})
endfunction()
