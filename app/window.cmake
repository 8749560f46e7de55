# The vexil window program (Qt 6 Widgets). All window code but main.cpp goes into the static
# library vexil-window, which the program and the GUI tests link.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
find_package(Fontconfig REQUIRED)

add_library(vexil-window STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/main-frame.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/about-box.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/command-line.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/display-probe.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/vexil-view.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/command-field.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/output-pane.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/output-pane-host.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/text-search.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/find-bar.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/qt-ui-thread.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/crash-report.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/resources/vexil.qrc)
set_target_properties(vexil-window PROPERTIES AUTOMOC ON AUTORCC ON)
target_include_directories(vexil-window PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(vexil-window PRIVATE -fno-exceptions)
target_link_libraries(vexil-window
  PUBLIC vexil-pipe orv-lib Qt6::Widgets Fontconfig::Fontconfig orv_flags)
# The version has one source, the project's: --version, the about box and the package show it.
target_compile_definitions(vexil-window PRIVATE VEXIL_VERSION="${PROJECT_VERSION}")

add_executable(vexil ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
target_compile_options(vexil PRIVATE -fno-exceptions)
target_link_libraries(vexil PRIVATE vexil-window orv_flags)

# Installation (component "vexil", which is also the Debian package): the program, its manual
# page, its desktop entry and its icon in every size of the icon theme.
include(GNUInstallDirs)
install(TARGETS vexil RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vexil)
# Manual pages are installed compressed, as man-db and the packaging rules expect.
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/vexil.1.in ${CMAKE_CURRENT_BINARY_DIR}/vexil.1 @ONLY)
set(vexil_man ${CMAKE_CURRENT_BINARY_DIR}/vexil.1.gz)
add_custom_command(OUTPUT ${vexil_man}
  COMMAND gzip -9 -n -c ${CMAKE_CURRENT_BINARY_DIR}/vexil.1 > ${vexil_man}
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/vexil.1
  COMMENT "Compressing the manual page")
add_custom_target(vexil-man ALL DEPENDS ${vexil_man})
install(FILES ${vexil_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT vexil)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/vexil.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT vexil)
foreach(size 16 24 32 48 64 72 96 128)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/icons/vexil-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
          RENAME vexil.png COMPONENT vexil)
endforeach()
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/icons/vexil.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT vexil)
