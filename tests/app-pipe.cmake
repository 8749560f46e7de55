# The console pipe's suite and the child program its tests run.
add_executable(pipe-child app/pipe-child.cpp)
target_link_libraries(pipe-child PRIVATE orv_flags)

orv_test(vexil-pipe-test SOURCES app/console-pipe-test.cpp app/text-pane-test.cpp
                                 app/escape-filter-test.cpp app/command-history-test.cpp
                                 app/output-stage-test.cpp app/pipe-text-path-test.cpp
         LINK vexil-pipe vexil-pipe-testing LABELS threads)
target_compile_definitions(vexil-pipe-test PRIVATE PIPE_CHILD_PATH="$<TARGET_FILE:pipe-child>")
add_dependencies(vexil-pipe-test pipe-child)

# The owner-thread call queue that the program's UI thread and pane host build on: Qt-free, so that
# it also runs under ThreadSanitizer.
orv_test(owner-call-queue-test SOURCES app/owner-call-queue-test.cpp LINK vexil-pipe LABELS threads)
