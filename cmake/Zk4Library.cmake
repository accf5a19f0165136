# One static library per subsystem folder, made of every .cpp in it. A
# folder without sources yet still yields a (empty) library, so that the
# link group of every program stays the same as subsystems fill in.
function(zk4_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT sources)
    set(empty ${CMAKE_CURRENT_BINARY_DIR}/${name}_empty.cpp)
    file(WRITE ${empty} "// no sources yet\n")
    set(sources ${empty})
  endif()
  add_library(${name} STATIC ${sources})
  target_link_libraries(${name} PUBLIC zk4_platform Threads::Threads PRIVATE zk4_warnings)
endfunction()
