#include "core/metric.h"

namespace sonorik {

std::string_view metric_name(Metric m) {
  switch (m) {
    case Metric::file_name:
      return "file_name";
    case Metric::file_name_ext:
      return "file_name_ext";
    case Metric::full_path:
      return "full_path";
    case Metric::sample_rate:
      return "sample_rate";
    case Metric::bit_depth:
      return "bit_depth";
    case Metric::channels:
      return "channels";
    case Metric::total_time:
      return "total_time";
    case Metric::duration:
      return "duration";
    case Metric::integrated_loudness:
      return "integrated_loudness";
    case Metric::short_term_loudness:
      return "short_term_loudness";
    case Metric::momentary_loudness:
      return "momentary_loudness";
    case Metric::loudness_range:
      return "loudness_range";
    case Metric::true_peak:
      return "true_peak";
    case Metric::rms_max:
      return "rms_max";
    case Metric::rms_average:
      return "rms_average";
    case Metric::rms_min:
      return "rms_min";
    case Metric::sample_peak:
      return "sample_peak";
  }
  return "unknown";
}

MetricList metrics_from_flags(const MeasureFlags& f) {
  MetricList out;
  if (f.integrated_loudness) out.push_back(Metric::integrated_loudness);
  if (f.short_term_loudness) out.push_back(Metric::short_term_loudness);
  if (f.momentary_loudness) out.push_back(Metric::momentary_loudness);
  if (f.loudness_range) out.push_back(Metric::loudness_range);
  if (f.true_peak) out.push_back(Metric::true_peak);
  if (f.rms_max) out.push_back(Metric::rms_max);
  if (f.rms_average) out.push_back(Metric::rms_average);
  return out;
}

}  // namespace sonorik
