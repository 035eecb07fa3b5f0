// Metrics: the counters, gauges and histograms of velquor-http, kept in
// memory and written in the Prometheus text format by /metrics. Every part of
// the daemon counts through one Metrics object; safe from several threads.
// Names follow Prometheus' conventions ("velquor_http_requests_total");
// labels are given as name/value pairs ({{"code", "201"}}).
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace VelquorHttp {

using MetricLabels = std::vector<std::pair<std::string, std::string>>;

class Metrics {
 public:
  // Declares a metric's help text and type ("counter", "gauge",
  // "histogram"); a metric need not be declared to be counted.
  void Describe(const std::string& name, const std::string& type, const std::string& help);
  void Add(const std::string& name, const MetricLabels& labels, double delta = 1);
  void Set(const std::string& name, const MetricLabels& labels, double value);
  // One observation of a histogram (seconds for latencies).
  void Observe(const std::string& name, const MetricLabels& labels, double value);

  // Everything in the Prometheus text format (version 0.0.4); a described
  // metric without samples by its HELP and TYPE lines alone.
  std::string Render() const;

 private:
  struct Histogram {
    std::vector<double> bucketCounts;  // per bound of kBounds, not cumulative
    double sum = 0;
    double count = 0;
  };
  static std::string Key(const MetricLabels& labels);

  mutable std::mutex m_Mutex;
  std::map<std::string, std::pair<std::string, std::string>> m_Descriptions;  // name: type, help
  std::map<std::string, std::map<std::string, double>> m_Values;              // name: labels: value
  std::map<std::string, std::map<std::string, Histogram>> m_Histograms;
};

}  // namespace VelquorHttp
