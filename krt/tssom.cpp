// Training and search of the tree-structured self-organising map.
#include "tssom.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>
#include <numeric>

namespace krt {

int draw_below(Generator& generator, int n)
{
    assert(n > 0);
    return static_cast<int>(generator() % static_cast<std::uint64_t>(n));
}

Tssom::Tssom(int dim, int layers) : dim_(dim), layers_(layers)
{
    assert(dim >= 1 && dim <= 3 && layers >= 1 && dim * (layers - 1) <= 16);
}

// Units are numbered by their grid coordinates: with a side of 2^layer,
// coordinate i occupies bits layer*i .. layer*i + layer - 1.
int Tssom::coordinate(int layer, int unit, int axis) const { return (unit >> (layer * axis)) & ((1 << layer) - 1); }

int Tssom::unit_at(int layer, const std::vector<int>& coordinates) const
{
    int unit = 0;
    for (int axis = 0; axis < dim_; ++axis) unit |= coordinates[static_cast<std::size_t>(axis)] << (layer * axis);
    return unit;
}

int Tssom::parent(int layer, int unit) const
{
    std::vector<int> c(static_cast<std::size_t>(dim_));
    for (int axis = 0; axis < dim_; ++axis) c[static_cast<std::size_t>(axis)] = coordinate(layer, unit, axis) >> 1;
    return unit_at(layer - 1, c);
}

std::vector<int> Tssom::children(int layer, int unit) const
{
    std::vector<int> result;
    std::vector<int> c(static_cast<std::size_t>(dim_));
    for (int corner = 0; corner < (1 << dim_); ++corner) {
        for (int axis = 0; axis < dim_; ++axis)
            c[static_cast<std::size_t>(axis)] = 2 * coordinate(layer, unit, axis) + ((corner >> axis) & 1);
        result.push_back(unit_at(layer + 1, c));
    }
    return result;
}

std::vector<int> Tssom::neighbours(int layer, int unit) const
{
    std::vector<int> result;
    const int side = 1 << layer;
    int offsets = 1;
    for (int axis = 0; axis < dim_; ++axis) offsets *= 3;
    std::vector<int> c(static_cast<std::size_t>(dim_));
    for (int code = 0; code < offsets; ++code) {
        bool inside = true;
        bool itself = true;
        int rest = code;
        for (int axis = 0; axis < dim_; ++axis, rest /= 3) {
            const int step = rest % 3 - 1;
            const int at = coordinate(layer, unit, axis) + step;
            inside = inside && at >= 0 && at < side;
            itself = itself && step == 0;
            c[static_cast<std::size_t>(axis)] = at;
        }
        if (inside && !itself) result.push_back(unit_at(layer, c));
    }
    return result;
}

const double* Tssom::prototype(int layer, int unit) const
{
    return &prototypes_[static_cast<std::size_t>(layer)][static_cast<std::size_t>(unit) * variables_];
}

const std::vector<int>& Tssom::members(int layer, int unit) const
{
    return members_[static_cast<std::size_t>(layer)][static_cast<std::size_t>(unit)];
}

// Squared weighted distance over the record's usable values.
double Tssom::distance(const double* record, const std::vector<bool>& mask, const double* prototype) const
{
    double sum = 0.0;
    for (int k = 0; k < variables_; ++k) {
        if (std::isnan(record[k]) || (!mask.empty() && mask[static_cast<std::size_t>(k)])) continue;
        const double d = record[k] - prototype[k];
        sum += weights_[static_cast<std::size_t>(k)] * d * d;
    }
    return sum;
}

double Tssom::squared_distance(const double* record, int layer, int unit) const
{
    static const std::vector<bool> no_mask;
    return distance(record, no_mask, prototype(layer, unit));
}

// The closest candidate; on a tie the one listed first.
int Tssom::best_of(const double* record, const std::vector<bool>& mask, int layer,
                   const std::vector<int>& candidates) const
{
    int best = candidates.front();
    double best_distance = std::numeric_limits<double>::infinity();
    for (int unit : candidates) {
        const double d = distance(record, mask, prototype(layer, unit));
        if (d < best_distance) {
            best = unit;
            best_distance = d;
        }
    }
    return best;
}

std::vector<int> Tssom::candidates(int layer, int parent_unit) const
{
    if (tree_search_) return children(layer - 1, parent_unit);
    std::vector<int> all(static_cast<std::size_t>(units(layer)));
    std::iota(all.begin(), all.end(), 0);
    return all;
}

std::vector<int> Tssom::path(const double* record, const std::vector<bool>& mask) const
{
    std::vector<int> units_found(static_cast<std::size_t>(layers_), 0);
    for (int layer = 1; layer < layers_; ++layer)
        units_found[static_cast<std::size_t>(layer)] =
            best_of(record, mask, layer, candidates(layer, units_found[static_cast<std::size_t>(layer - 1)]));
    return units_found;
}

// The first `count` principal directions of the training records (in the
// units of the distance), by power iteration with deflation on the
// covariance over the pairs of values both present.  Each direction comes
// back in the records' own units, scaled to half a standard deviation.
std::vector<std::vector<double>> Tssom::half_deviation_axes(const Table& table, const std::vector<int>& rows,
                                                             const double* mean, int count, Generator& generator) const
{
    const std::size_t m = static_cast<std::size_t>(variables_);
    std::vector<double> cov(m * m, 0.0);
    for (std::size_t j = 0; j < m; ++j)
        for (std::size_t k = j; k < m; ++k) {
            double sum = 0.0;
            long pairs = 0;
            for (int r : rows) {
                const double a = table.at(r, static_cast<int>(j)), b = table.at(r, static_cast<int>(k));
                if (std::isnan(a) || std::isnan(b)) continue;
                sum += (a - mean[j]) * (b - mean[k]);
                ++pairs;
            }
            const double c = pairs > 0 ? sum / static_cast<double>(pairs) * std::sqrt(weights_[j] * weights_[k]) : 0.0;
            cov[j * m + k] = cov[k * m + j] = c;
        }
    std::vector<std::vector<double>> axes;
    for (int a = 0; a < count; ++a) {
        // A start drawn from the seed: the sign of each axis, and so the
        // orientation of the map, follows the seed.
        std::vector<double> v(m);
        for (double& x : v) x = static_cast<double>(draw_below(generator, 1 << 20)) / (1 << 20) - 0.5;
        double eigenvalue = 0.0;
        for (int iteration = 0; iteration < 200; ++iteration) {
            std::vector<double> next(m, 0.0);
            for (std::size_t j = 0; j < m; ++j)
                for (std::size_t k = 0; k < m; ++k) next[j] += cov[j * m + k] * v[k];
            double norm = 0.0;
            for (double x : next) norm += x * x;
            norm = std::sqrt(norm);
            if (!(norm > 0.0)) {
                eigenvalue = 0.0;
                break;
            }
            for (std::size_t j = 0; j < m; ++j) v[j] = next[j] / norm;
            eigenvalue = norm;
        }
        std::vector<double> axis(m, 0.0);
        for (std::size_t j = 0; j < m; ++j) {
            for (std::size_t k = 0; k < m; ++k) cov[j * m + k] -= eigenvalue * v[j] * v[k];
            axis[j] = 0.5 * std::sqrt(eigenvalue) * v[j] / std::sqrt(weights_[j]);
        }
        axes.push_back(std::move(axis));
    }
    return axes;
}

// Layer 0 starts at the mean of the training records, layer 1 at the
// corners of a box around it spanned by the principal directions, and
// every further layer by interpolating the grid of the layer above, so
// that each map starts ordered and its children refine their parent.
void Tssom::initialise_layer(int layer, const Table& table, const std::vector<int>& rows, Generator& generator)
{
    auto& protos = prototypes_[static_cast<std::size_t>(layer)];
    protos.assign(static_cast<std::size_t>(units(layer)) * variables_, 0.0);
    if (layer == 0) {
        for (int k = 0; k < variables_; ++k) {
            double sum = 0.0;
            long count = 0;
            for (int r : rows)
                if (!std::isnan(table.at(r, k))) {
                    sum += table.at(r, k);
                    ++count;
                }
            protos[static_cast<std::size_t>(k)] = count > 0 ? sum / static_cast<double>(count) : 0.0;
        }
        return;
    }
    if (layer == 1) {
        const double* mean = prototype(0, 0);
        const auto axes = half_deviation_axes(table, rows, mean, dim_, generator);
        for (int unit = 0; unit < units(1); ++unit)
            for (int k = 0; k < variables_; ++k) {
                double v = mean[k];
                for (int axis = 0; axis < dim_; ++axis)
                    v += (coordinate(1, unit, axis) == 1 ? 1.0 : -1.0) * axes[static_cast<std::size_t>(axis)][static_cast<std::size_t>(k)];
                protos[static_cast<std::size_t>(unit) * variables_ + k] = v;
            }
        return;
    }
    // Fine coordinate f lies at (f + 0.5) / 2 - 0.5 on the coarse grid;
    // multilinear interpolation between the two coarse units around it
    // (extrapolation at the edges).
    const int coarse_side = 1 << (layer - 1);
    std::vector<int> low(static_cast<std::size_t>(dim_));
    std::vector<double> fraction(static_cast<std::size_t>(dim_));
    std::vector<int> corner(static_cast<std::size_t>(dim_));
    for (int unit = 0; unit < units(layer); ++unit) {
        for (int axis = 0; axis < dim_; ++axis) {
            const double t = (coordinate(layer, unit, axis) + 0.5) / 2.0 - 0.5;
            const int i0 = std::clamp(static_cast<int>(std::floor(t)), 0, coarse_side - 2);
            low[static_cast<std::size_t>(axis)] = i0;
            fraction[static_cast<std::size_t>(axis)] = t - i0;
        }
        double* proto = &protos[static_cast<std::size_t>(unit) * variables_];
        for (int c = 0; c < (1 << dim_); ++c) {
            double weight = 1.0;
            for (int axis = 0; axis < dim_; ++axis) {
                const bool high = ((c >> axis) & 1) != 0;
                const double f = fraction[static_cast<std::size_t>(axis)];
                weight *= high ? f : 1.0 - f;
                corner[static_cast<std::size_t>(axis)] = low[static_cast<std::size_t>(axis)] + (high ? 1 : 0);
            }
            const double* source = prototype(layer - 1, unit_at(layer - 1, corner));
            for (int k = 0; k < variables_; ++k) proto[k] += weight * source[k];
        }
    }
}

void Tssom::assign(int layer, const Table& table, const std::vector<int>& rows)
{
    static const std::vector<bool> no_mask;
    auto& unit_of = unit_of_[static_cast<std::size_t>(layer)];
    const auto& above = unit_of_[static_cast<std::size_t>(layer - 1)];
    for (int r : rows)
        unit_of[static_cast<std::size_t>(r)] =
            best_of(table.row(r), no_mask, layer, candidates(layer, above[static_cast<std::size_t>(r)]));
}

// One batch pass: every record finds its unit, and each prototype moves by
// the learning rate towards the weighted mean of its own records (weight
// 1) and its neighbours' records (weight 1/divisor).  Returns the largest
// move.
double Tssom::batch_pass(int layer, const Table& table, const std::vector<int>& rows,
                         const TrainingSettings& settings)
{
    assign(layer, table, rows);
    const int n = units(layer);
    std::vector<double> sums(static_cast<std::size_t>(n) * variables_, 0.0);
    std::vector<double> weights(static_cast<std::size_t>(n) * variables_, 0.0);
    const auto add = [&](int unit, const double* record, double weight) {
        for (int k = 0; k < variables_; ++k) {
            if (std::isnan(record[k])) continue;
            sums[static_cast<std::size_t>(unit) * variables_ + k] += weight * record[k];
            weights[static_cast<std::size_t>(unit) * variables_ + k] += weight;
        }
    };
    const double neighbour_weight = settings.neighbour_divisor > 0.0 ? 1.0 / settings.neighbour_divisor : 0.0;
    for (int r : rows) {
        const int unit = unit_of_[static_cast<std::size_t>(layer)][static_cast<std::size_t>(r)];
        add(unit, table.row(r), 1.0);
        if (neighbour_weight > 0.0)
            for (int v : neighbours(layer, unit)) add(v, table.row(r), neighbour_weight);
    }
    double largest_move = 0.0;
    auto& protos = prototypes_[static_cast<std::size_t>(layer)];
    for (std::size_t i = 0; i < protos.size(); ++i) {
        if (weights[i] <= 0.0) continue;
        const double move = settings.rate * (sums[i] / weights[i] - protos[i]);
        protos[i] += move;
        largest_move = std::max(largest_move, std::fabs(move));
    }
    return largest_move;
}

void Tssom::train(const Table& table, const std::vector<int>& rows, const TrainingSettings& settings)
{
    variables_ = table.variables;
    tree_search_ = settings.tree_search;
    Generator generator(settings.seed);

    weights_.assign(static_cast<std::size_t>(variables_), 1.0);
    if (settings.scale) {
        for (int k = 0; k < variables_; ++k) {
            double sum = 0.0, squares = 0.0;
            long count = 0;
            for (int r : rows) {
                const double v = table.at(r, k);
                if (std::isnan(v)) continue;
                sum += v;
                squares += v * v;
                ++count;
            }
            if (count < 2) continue;
            const double mean = sum / static_cast<double>(count);
            const double variance = squares / static_cast<double>(count) - mean * mean;
            if (variance > 0.0) weights_[static_cast<std::size_t>(k)] = 1.0 / variance;
        }
    }

    prototypes_.assign(static_cast<std::size_t>(layers_), {});
    unit_of_.assign(static_cast<std::size_t>(layers_), std::vector<int>(static_cast<std::size_t>(table.records), -1));
    members_.assign(static_cast<std::size_t>(layers_), {});
    for (int layer = 0; layer < layers_; ++layer) {
        members_[static_cast<std::size_t>(layer)].assign(static_cast<std::size_t>(units(layer)), {});
        if (layer == 0) {
            for (int r : rows) unit_of_[0][static_cast<std::size_t>(r)] = 0;
            members_[0][0] = rows;
            initialise_layer(0, table, rows, generator);
            continue;
        }
        initialise_layer(layer, table, rows, generator);
        const int passes = std::max(1, settings.max_passes);
        for (int pass = 0; pass < passes; ++pass) {
            const double move = batch_pass(layer, table, rows, settings);
            if (pass + 1 >= settings.min_passes && move < settings.tolerance) break;
        }
        // The neighbourhood shrinks to the unit itself in a last pass, so
        // that each prototype ends at the centre of its own records.
        TrainingSettings settle = settings;
        settle.rate = 1.0;
        settle.neighbour_divisor = 0.0;
        batch_pass(layer, table, rows, settle);
        assign(layer, table, rows);
        for (int r : rows)
            members_[static_cast<std::size_t>(layer)]
                    [static_cast<std::size_t>(unit_of_[static_cast<std::size_t>(layer)][static_cast<std::size_t>(r)])]
                        .push_back(r);
    }
}

}  // namespace krt
