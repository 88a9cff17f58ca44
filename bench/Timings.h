// Time per operation of each benchmark, in milliseconds, one sample per repetition on each
// clock, with the median and the relative spread the summary shows. Real time is what a user
// waits; CPU time (of this process and of the processes it waited for) is what the work costs,
// and hardly moves when other processes compete for the machine.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vellum::bench {

enum class Clock { Real, Cpu };

class Timings {
public:
    void add(const std::string& name, double realMilliseconds, double cpuMilliseconds);
    void markFailed(const std::string& name);

    // False when the benchmark did not run (filtered out) or failed.
    bool has(const std::string& name) const;
    double median(const std::string& name, Clock clock = Clock::Real) const;
    // Standard deviation over mean of the samples; 0 with fewer than two.
    double spread(const std::string& name, Clock clock = Clock::Real) const;
    size_t samples(const std::string& name) const;

    // User counters of a benchmark, one value per repetition, and their median (0 if none).
    void addCounter(const std::string& name, const std::string& counter, double value);
    bool hasCounter(const std::string& name, const std::string& counter) const;
    double counterMedian(const std::string& name, const std::string& counter) const;

    static double medianOf(std::vector<double> values);

private:
    struct Samples {
        std::vector<double> real;
        std::vector<double> cpu;
        std::map<std::string, std::vector<double>> counters;
        bool failed = false;
    };
    const std::vector<double>& of(const std::string& name, Clock clock) const;

    std::map<std::string, Samples> entries_;
};

}  // namespace vellum::bench
