# The console pipe's suite.
orv_test(vexil-pipe-test SOURCES app/console-pipe-test.cpp app/text-pane-test.cpp
                                 app/escape-filter-test.cpp app/command-history-test.cpp
                                 app/output-stage-test.cpp
         LINK vexil-pipe vexil-pipe-testing LABELS threads)

# The owner-thread call queue that the program's UI thread and pane host build on: Qt-free, so that
# it also runs under ThreadSanitizer.
orv_test(owner-call-queue-test SOURCES app/owner-call-queue-test.cpp LINK vexil-pipe LABELS threads)
orv_test(pane-line-index-test SOURCES app/pane-line-index-test.cpp LINK vexil-pipe LABELS threads)
