#pragma once
// Runs every registered benchmark with its repetitions interleaved at random, so that a change in the machine's
// load during the run weighs on a figure and on its baseline alike. Flags given on the command line come after
// the default and win. Returns the program's exit status: 1 for an unrecognised argument.

#include <benchmark/benchmark.h>

#include <vector>

inline int runInterleaved(int argc, char **argv, benchmark::BenchmarkReporter &reporter) {
  std::vector<char *> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
