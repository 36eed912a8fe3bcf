# Options of `cmake --graphviz=FILE` (read from the source root): one picture
# of the layers and the tools, without the test binaries, the benchmarks and
# the system's libraries, and no extra file per target.
set(GRAPHVIZ_EXTERNAL_LIBS FALSE)
set(GRAPHVIZ_IGNORE_TARGETS "^test_" "^testsupport$" "^bench")
set(GRAPHVIZ_GENERATE_PER_TARGET FALSE)
set(GRAPHVIZ_GENERATE_DEPENDERS FALSE)
