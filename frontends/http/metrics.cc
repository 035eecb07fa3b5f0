#include "metrics.h"

#include <array>
#include <sstream>

namespace VelquorHttp {
namespace {

constexpr std::array<double, 12> kBounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 10};

std::string Escape(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string WithLabel(const std::string& key, const std::string& extra) {
  if (key.empty()) return "{" + extra + "}";
  return key.substr(0, key.size() - 1) + "," + extra + "}";
}

}  // namespace

std::string Metrics::Key(const MetricLabels& labels) {
  if (labels.empty()) return "";
  std::string key = "{";
  for (std::size_t i = 0; i < labels.size(); ++i)
    key += (i ? "," : "") + labels[i].first + "=\"" + Escape(labels[i].second) + "\"";
  return key + "}";
}

void Metrics::Describe(const std::string& name, const std::string& type, const std::string& help) {
  const std::lock_guard lock(m_Mutex);
  m_Descriptions[name] = {type, help};
}

void Metrics::Add(const std::string& name, const MetricLabels& labels, double delta) {
  const std::lock_guard lock(m_Mutex);
  m_Values[name][Key(labels)] += delta;
}

void Metrics::Set(const std::string& name, const MetricLabels& labels, double value) {
  const std::lock_guard lock(m_Mutex);
  m_Values[name][Key(labels)] = value;
}

void Metrics::Observe(const std::string& name, const MetricLabels& labels, double value) {
  const std::lock_guard lock(m_Mutex);
  Histogram& h = m_Histograms[name][Key(labels)];
  if (h.bucketCounts.empty()) h.bucketCounts.assign(kBounds.size(), 0);
  for (std::size_t i = 0; i < kBounds.size(); ++i)
    if (value <= kBounds[i]) {
      ++h.bucketCounts[i];
      break;
    }
  h.sum += value;
  ++h.count;
}

std::string Metrics::Render() const {
  const std::lock_guard lock(m_Mutex);
  std::ostringstream out;
  auto header = [&](const std::string& name, const char* fallbackType) {
    const auto d = m_Descriptions.find(name);
    if (d != m_Descriptions.end()) out << "# HELP " << name << " " << d->second.second << "\n";
    out << "# TYPE " << name << " " << (d != m_Descriptions.end() ? d->second.first : fallbackType) << "\n";
  };
  for (const auto& [name, series] : m_Values) {
    header(name, "untyped");
    for (const auto& [labels, value] : series) out << name << labels << " " << value << "\n";
  }
  for (const auto& [name, series] : m_Histograms) {
    header(name, "histogram");
    for (const auto& [labels, h] : series) {
      double cumulative = 0;
      for (std::size_t i = 0; i < kBounds.size(); ++i) {
        cumulative += h.bucketCounts[i];
        std::ostringstream bound;
        bound << kBounds[i];
        out << name << "_bucket" << WithLabel(labels, "le=\"" + bound.str() + "\"") << " " << cumulative << "\n";
      }
      out << name << "_bucket" << WithLabel(labels, "le=\"+Inf\"") << " " << h.count << "\n";
      out << name << "_sum" << labels << " " << h.sum << "\n";
      out << name << "_count" << labels << " " << h.count << "\n";
    }
  }
  // A described metric without a sample yet (a counter by label before its
  // first event) is announced all the same.
  for (const auto& [name, description] : m_Descriptions)
    if (m_Values.count(name) == 0 && m_Histograms.count(name) == 0) header(name, "untyped");
  return out.str();
}

}  // namespace VelquorHttp
