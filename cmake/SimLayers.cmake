# simwin and dot4sim in layers (sim/model, sim/win32, sim/image, sim/imports, sim/dot4sim). Each
# layer is a static library that sees only its own headers and those of the layers it links:
# its include root holds nothing but a link to its own folder, so an include the wrong way does
# not compile.
#
# sim_layer(NAME LINKS lower targets... [EXCLUDE file.cpp...])
function(sim_layer name)
  cmake_parse_arguments(L "" "" "LINKS;EXCLUDE" ${ARGN})
  get_filename_component(root ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/.. ABSOLUTE)
  set(includes ${CMAKE_BINARY_DIR}/layers/${name})
  file(MAKE_DIRECTORY ${includes})
  file(CREATE_LINK ${root}/sim/${name} ${includes}/${name} SYMBOLIC)
  file(GLOB sources CONFIGURE_DEPENDS ${root}/sim/${name}/*.cpp)
  foreach(excluded ${L_EXCLUDE})
    list(REMOVE_ITEM sources ${root}/sim/${name}/${excluded})
  endforeach()
  add_library(sim_${name} STATIC ${sources})
  target_include_directories(sim_${name} PUBLIC ${includes} ${root}/src)
  target_link_libraries(sim_${name} PUBLIC ${L_LINKS})
endfunction()
