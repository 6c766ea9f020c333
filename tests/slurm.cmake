# fanrun --shard on a real scheduler: a Slurm job array on the cluster of 3 nodes that
# tests/slurm/cluster.sh brings up (.ci/run starts and stops it). Without the cluster the test shows
# as skipped, except under CI=true, where it fails.
add_test(NAME slurm.shards
  COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/slurm/shards_test.sh" $<TARGET_FILE:fanrun_cli>)
# Serial: the cluster's nodes are this machine, and the array's tasks take all of its processors.
set_tests_properties(slurm.shards PROPERTIES RUN_SERIAL ON TIMEOUT 300 SKIP_RETURN_CODE 77)

# fanrun --slurm: commands as steps of allocations of 3 nodes on the same cluster, with a node
# drained and one set down while their steps run.
add_test(NAME slurm.steps
  COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/slurm/steps_test.sh" $<TARGET_FILE:fanrun_cli>)
set_tests_properties(slurm.steps PROPERTIES RUN_SERIAL ON TIMEOUT 300 SKIP_RETURN_CODE 77)
