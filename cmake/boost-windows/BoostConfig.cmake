# Boost 1.81 for MinGW-w64, built by scripts/setup: headers plus the two
# compiled libraries the program uses, as the usual Boost:: targets.
get_filename_component(_boost_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET Boost::headers)
  add_library(Boost::headers INTERFACE IMPORTED)
  set_target_properties(Boost::headers PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_boost_prefix}/include"
    INTERFACE_COMPILE_DEFINITIONS "BOOST_ALL_NO_LIB")
  add_library(Boost::boost ALIAS Boost::headers)

  foreach(_c program_options filesystem)
    add_library(Boost::${_c} STATIC IMPORTED)
    set_target_properties(Boost::${_c} PROPERTIES
      IMPORTED_LOCATION "${_boost_prefix}/lib/libboost_${_c}.a"
      INTERFACE_LINK_LIBRARIES Boost::headers)
  endforeach()
  set_property(TARGET Boost::filesystem APPEND PROPERTY INTERFACE_LINK_LIBRARIES bcrypt)
endif()

foreach(_c ${Boost_FIND_COMPONENTS})
  set(Boost_${_c}_FOUND TRUE)
endforeach()
set(Boost_FOUND TRUE)
