#include "analysis/album.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "analysis/gating.h"

namespace sonorik::analysis {

namespace {

// The larger of two levels; NaN (not measured) wins.
double larger(double a, double b) { return std::isnan(a) || std::isnan(b) ? NAN : std::max(a, b); }

}  // namespace

Result<AlbumMeasurement> measure_album(std::span<const StandardMeasurement* const> programmes) {
  if (programmes.empty()) return Error("no programmes given");
  constexpr double kInf = std::numeric_limits<double>::infinity();
  AlbumMeasurement out;
  out.programmes = programmes.size();
  out.true_peak_dbtp = -kInf;
  out.sample_peak_dbfs = -kInf;
  std::vector<double> blocks, range_energies;
  std::uint64_t range_readings = 0;
  for (const StandardMeasurement* m : programmes) {
    if (!m->gating_block_energies) {
      return Error(
          "album loudness needs every programme's gating blocks, which are kept for up to 8 "
          "channels");
    }
    blocks.insert(blocks.end(), m->gating_block_energies->begin(), m->gating_block_energies->end());
    range_energies.insert(range_energies.end(), m->range_energies.begin(), m->range_energies.end());
    range_readings += m->range_readings;
    if (m->rate_hz > 0) out.duration_s += static_cast<double>(m->frames) / m->rate_hz;
    out.true_peak_dbtp = larger(out.true_peak_dbtp, m->true_peak_dbtp);
    out.sample_peak_dbfs = larger(out.sample_peak_dbfs, m->sample_peak_dbfs);
  }
  out.integrated_lufs = gated_integrated_lufs(blocks);
  out.relative_gate_lufs =
      std::isfinite(out.integrated_lufs) ? gated_relative_gate_lufs(blocks) : -kInf;
  if (range_readings > 0) {
    const LoudnessRange range = gated_loudness_range(std::move(range_energies));
    out.loudness_range_lu = range.range_lu;
    out.loudness_range_low_lufs = range.low_lufs;
    out.loudness_range_high_lufs = range.high_lufs;
  }
  return out;
}

}  // namespace sonorik::analysis
