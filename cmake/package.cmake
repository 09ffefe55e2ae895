# The installed package: static libraries, public headers, a CMake package
# (find_package(velqo) → velqo::solver, velqo::mtask) and a pkg-config file.

# The same target names for a project that adds this tree as a subdirectory.
add_library(velqo::solver ALIAS solver)
add_library(velqo::mtask ALIAS mtask)
if(TARGET velqo_mpi)
  add_library(velqo::mpi ALIAS velqo_mpi)
  set_target_properties(velqo_mpi PROPERTIES EXPORT_NAME mpi)
endif()

# The library files carry the project's name, so that an installed libsolver.a
# does not meet another package's; the target names stay solver and mtask.
set_target_properties(solver PROPERTIES OUTPUT_NAME velqo_solver)
set_target_properties(mtask PROPERTIES OUTPUT_NAME velqo_mtask)
# The public headers use <span> and concepts: consumers compile as C++20 at least.
target_compile_features(solver PUBLIC cxx_std_20)

if(NOT VELQO_INSTALL)
  return()
endif()

include(CMakePackageConfigHelpers)
set(VELQO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/velqo)

install(TARGETS solver mtask EXPORT velqoTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The public headers and everything they include; the runtime's tables and the
# test seams stay private.
install(FILES
          ${PROJECT_SOURCE_DIR}/solver/velqo.h ${PROJECT_SOURCE_DIR}/solver/band.h
          ${PROJECT_SOURCE_DIR}/solver/kernel.h ${PROJECT_SOURCE_DIR}/solver/bandstorage.h
          ${PROJECT_SOURCE_DIR}/solver/scalar.h ${PROJECT_SOURCE_DIR}/solver/def_velqo.h
        DESTINATION ${VELQO_INSTALL_INCLUDEDIR}/solver)
install(FILES ${PROJECT_SOURCE_DIR}/mtask/mtask.h DESTINATION ${VELQO_INSTALL_INCLUDEDIR}/mtask)

# The solve over MPI ranks, where it was built: velqo::mpi.
set(VELQO_WITH_MPI FALSE)
if(TARGET velqo_mpi)
  set(VELQO_WITH_MPI TRUE)
  install(TARGETS velqo_mpi EXPORT velqoTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/distributed/velqo_mpi.h DESTINATION ${VELQO_INSTALL_INCLUDEDIR}/distributed)
endif()

install(EXPORT velqoTargets NAMESPACE velqo:: DESTINATION ${VELQO_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/velqoConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/velqoConfig.cmake
                              INSTALL_DESTINATION ${VELQO_CMAKE_DIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/velqoConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/velqoConfig.cmake ${PROJECT_BINARY_DIR}/velqoConfigVersion.cmake
        DESTINATION ${VELQO_CMAKE_DIR})

# pkg-config: the paths are taken relative to the .pc file's own folder, so the
# file stays right when the installation is moved or installed with --prefix.
function(velqo_pc_path var dir)
  if(IS_ABSOLUTE "${dir}")
    set(${var} "${dir}" PARENT_SCOPE)
  else()
    set(${var} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(VELQO_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH up "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" up "${up}")
  set(VELQO_PC_PREFIX "\${pcfiledir}/${up}")
endif()
velqo_pc_path(VELQO_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
velqo_pc_path(VELQO_PC_INCLUDEDIR "${VELQO_INSTALL_INCLUDEDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/velqo.pc.in ${PROJECT_BINARY_DIR}/velqo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/velqo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
