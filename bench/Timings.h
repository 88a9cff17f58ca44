// Real time per operation of each benchmark, in milliseconds, one sample per repetition, with
// the median and the relative spread the summary shows.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vellum::bench {

class Timings {
public:
    void add(const std::string& name, double milliseconds);
    void markFailed(const std::string& name);

    // False when the benchmark did not run (filtered out) or failed.
    bool has(const std::string& name) const;
    double median(const std::string& name) const;
    // Standard deviation over mean of the samples; 0 with fewer than two.
    double spread(const std::string& name) const;
    size_t samples(const std::string& name) const;

private:
    struct Samples {
        std::vector<double> milliseconds;
        bool failed = false;
    };
    const std::vector<double>& of(const std::string& name) const;

    std::map<std::string, Samples> entries_;
};

}  // namespace vellum::bench
