#include "Timings.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace vellum::bench {

void Timings::add(const std::string& name, double realMilliseconds, double cpuMilliseconds) {
    Samples& samples = entries_[name];
    samples.real.push_back(realMilliseconds);
    samples.cpu.push_back(cpuMilliseconds);
}

void Timings::markFailed(const std::string& name) {
    entries_[name].failed = true;
}

bool Timings::has(const std::string& name) const {
    auto it = entries_.find(name);
    return it != entries_.end() && !it->second.failed && !it->second.real.empty();
}

const std::vector<double>& Timings::of(const std::string& name, Clock clock) const {
    static const std::vector<double> kNone;
    auto it = entries_.find(name);
    if (it == entries_.end()) {
        return kNone;
    }
    return clock == Clock::Real ? it->second.real : it->second.cpu;
}

size_t Timings::samples(const std::string& name) const {
    return of(name, Clock::Real).size();
}

double Timings::medianOf(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Timings::median(const std::string& name, Clock clock) const {
    return medianOf(of(name, clock));
}

void Timings::addCounter(const std::string& name, const std::string& counter, double value) {
    entries_[name].counters[counter].push_back(value);
}

bool Timings::hasCounter(const std::string& name, const std::string& counter) const {
    auto it = entries_.find(name);
    return has(name) && it->second.counters.count(counter) != 0;
}

double Timings::counterMedian(const std::string& name, const std::string& counter) const {
    if (!hasCounter(name, counter)) {
        return 0;
    }
    return medianOf(entries_.at(name).counters.at(counter));
}

double Timings::spread(const std::string& name, Clock clock) const {
    const std::vector<double>& values = of(name, clock);
    if (values.size() < 2) {
        return 0;
    }
    const double mean = std::accumulate(values.begin(), values.end(), 0.0) / values.size();
    double squares = 0;
    for (double value : values) {
        squares += (value - mean) * (value - mean);
    }
    return mean > 0 ? std::sqrt(squares / (values.size() - 1)) / mean : 0;
}

}  // namespace vellum::bench
