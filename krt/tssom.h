// A tree-structured self-organising map (TS-SOM): layers of maps of
// dimension `dim` whose side doubles from one layer to the next (for a
// dimension of 2: 1, 4, 16, 64, ... units), each unit the parent of the
// 2^dim units below it.  A layer starts ordered (from the principal
// directions of the records, or by interpolating the layer above) and is
// trained by batch passes in which the best-matching unit of a record is
// searched only among the children of its unit in the layer above (or,
// when asked, in the whole layer), and a unit's prototype moves towards
// the mean of its records and, with a smaller weight, of the records of
// its neighbours in the layer; a last pass without neighbours settles
// each prototype at the centre of its own records.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

namespace krt {

// Records in row-major order; a missing value is NaN.
struct Table {
    int records = 0;
    int variables = 0;
    std::vector<double> cells;

    double at(int r, int k) const { return cells[static_cast<std::size_t>(r) * variables + k]; }
    double& at(int r, int k) { return cells[static_cast<std::size_t>(r) * variables + k]; }
    const double* row(int r) const { return &cells[static_cast<std::size_t>(r) * variables]; }
};

struct TrainingSettings {
    int dim = 2;
    int layers = 4;
    std::uint64_t seed = 0;          // orientation of the first axes
    int min_passes = 5;
    int max_passes = 20;
    double rate = 0.5;
    double tolerance = 0.001;
    double neighbour_divisor = 3.0;  // 0: no smoothing within a layer
    bool scale = false;              // distances in units of each variable's spread
    bool tree_search = true;
};

// The generator of the engine: fully specified, so a seed gives the same
// map and the same donors everywhere.
using Generator = std::mt19937_64;

// An index below n from the generator.
int draw_below(Generator& generator, int n);

class Tssom {
public:
    // dim 1..3, layers >= 1, dim * (layers - 1) <= 16.
    Tssom(int dim, int layers);

    int layers() const { return layers_; }
    int units(int layer) const { return 1 << (dim_ * layer); }
    int parent(int layer, int unit) const;                   // unit of layer - 1
    std::vector<int> children(int layer, int unit) const;    // units of layer + 1
    std::vector<int> neighbours(int layer, int unit) const;  // grid distance 1 within the layer
    const double* prototype(int layer, int unit) const;

    // Trains every layer on the given rows of the table (each with at
    // least one value) and remembers each row's unit in every layer.
    void train(const Table& table, const std::vector<int>& rows, const TrainingSettings& settings);

    // The units of a record in layers 0 .. layers-1 over its values that
    // are not NaN and not masked (mask may be empty).
    std::vector<int> path(const double* record, const std::vector<bool>& mask) const;

    // Squared distance, in the map's metric, between a record's values and
    // a unit's prototype.
    double squared_distance(const double* record, int layer, int unit) const;
    // Weight of variable k in the metric (1, or 1/variance when scaled).
    double weight(int k) const { return weights_[static_cast<std::size_t>(k)]; }

    // Training rows whose unit in `layer` is `unit`, ascending.
    const std::vector<int>& members(int layer, int unit) const;

private:
    int coordinate(int layer, int unit, int axis) const;
    int unit_at(int layer, const std::vector<int>& coordinates) const;
    double distance(const double* record, const std::vector<bool>& mask, const double* prototype) const;
    int best_of(const double* record, const std::vector<bool>& mask, int layer, const std::vector<int>& candidates) const;
    std::vector<int> candidates(int layer, int parent_unit) const;
    std::vector<std::vector<double>> half_deviation_axes(const Table& table, const std::vector<int>& rows,
                                                         const double* mean, int count, Generator& generator) const;
    void initialise_layer(int layer, const Table& table, const std::vector<int>& rows, Generator& generator);
    double batch_pass(int layer, const Table& table, const std::vector<int>& rows, const TrainingSettings& settings);
    void assign(int layer, const Table& table, const std::vector<int>& rows);

    int dim_;
    int layers_;
    int variables_ = 0;
    bool tree_search_ = true;
    std::vector<double> weights_;                        // per variable, in the distance
    std::vector<std::vector<double>> prototypes_;        // per layer: units x variables
    std::vector<std::vector<int>> unit_of_;              // per layer: unit of each table row (-1: not trained)
    std::vector<std::vector<std::vector<int>>> members_; // per layer, per unit
};

}  // namespace krt
