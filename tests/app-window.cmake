# GUI tests of the vexil window (offscreen Qt platform). Built only with the window program.
if(TARGET vexil-window)
  find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
  add_executable(app-window
    app/window-main.cpp app/window-pane-test.cpp app/window-ui-thread-test.cpp
    app/window-view-test.cpp app/window-find-test.cpp
    app/window-run-test.cpp app/command-line-test.cpp app/window-crash-test.cpp
    app/window-start-test.cpp app/pane-pieces-test.cpp)
  target_include_directories(app-window PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(app-window PRIVATE vexil-window orv-test-support orv-internal Qt6::Test GTest::gtest
                                           orv_flags)
  target_compile_definitions(app-window PRIVATE
    VEXIL_BINARY="$<TARGET_FILE:vexil>"
    ORV_CRASH_SUPPORT_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/crash/support-server.py")
  add_dependencies(app-window vexil)
  gtest_discover_tests(app-window DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS "gui" TIMEOUT 120
                                  ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  orv_test(pane-text-model-test SOURCES app/pane-text-model-test.cpp LINK vexil-window)
endif()
