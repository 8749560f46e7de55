# The settings store's suite and the child program its tests run in other processes.
add_executable(reg-child sys/reg-child.cpp)
target_link_libraries(reg-child PRIVATE orv-sys orv-internal orv_flags)

orv_test(orv-registry-test SOURCES sys/orv-registry-test.cpp LINK orv-sys LABELS threads)
target_compile_definitions(orv-registry-test PRIVATE REG_CHILD_PATH="$<TARGET_FILE:reg-child>")
add_dependencies(orv-registry-test reg-child)

orv_test(orv-osver-test SOURCES sys/orv-osver-test.cpp LINK orv-sys LABELS threads)
orv_test(orv-process-test SOURCES sys/orv-process-test.cpp LINK orv-sys)
