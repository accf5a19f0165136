# One static library per subsystem folder, made of every .cpp directly in
# it, that declares what it depends on.
#
#   zk4_library(NAME zk4_transport FOLDER transport
#               PUBLIC zk4_base PRIVATE zk4_build_config)
#
# Headers are included by their path from the source root
# ("transport/qos_context.h"), but no library sees the whole root: each one
# exposes only its own folder, through a folder of links below the build
# tree (build/include/<name>/<FOLDER> -> <source>/<FOLDER>). A library
# therefore sees the headers of the libraries it links and of nothing
# else, and an include that runs against the direction of the
# dependencies fails to compile ("No such file or directory") instead of
# linking by luck. PUBLIC dependencies are those its own headers include;
# PRIVATE ones only its sources need.
function(zk4_library)
  cmake_parse_arguments(ARG "" "NAME;FOLDER" "PUBLIC;PRIVATE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${ARG_FOLDER}/*.cpp)
  if(NOT sources)
    set(empty ${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}_empty.cpp)
    file(WRITE ${empty} "// no sources yet\n")
    set(sources ${empty})
  endif()
  add_library(${ARG_NAME} STATIC ${sources})
  zk4_expose_folder(${ARG_NAME} ${ARG_FOLDER})
  target_link_libraries(${ARG_NAME} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE} zk4_warnings)
endfunction()

# Makes `folder` (relative to the source root) includable by its path for
# `target` and everything that links it.
function(zk4_expose_folder target folder)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  set(link ${root}/${folder})
  get_filename_component(parent ${link} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  if(NOT IS_SYMLINK ${link})
    file(REMOVE_RECURSE ${link})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${link} SYMBOLIC)
  endif()
  target_include_directories(${target} PUBLIC ${root})
endfunction()
