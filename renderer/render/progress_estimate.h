// How much of a frame is done and how long the rest will take, from the work its finished
// buckets asked for and what they cost. Buckets of one frame can differ tenfold and more (glass,
// hair, soft shadows next to empty sky), so counting buckets misleads; so does the cost of the
// buckets done so far when they all lie in the cheap half. The frame therefore renders one bucket
// of every cell of the picture first (a pilot over the whole frame, a sixteenth of the work), and
// a bucket still to come is taken to cost per unit of work what the finished buckets of its own
// cell cost.
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <vector>

namespace orn {

class ProgressEstimate {
  public:
    struct Item {
        int x = 0, y = 0;  // position in the bucket grid
        double size = 0.0; // the work it asks for (pixels x samples), 0 for a bucket with no pixel
    };
    // Cells of `cell` x `cell` items.
    explicit ProgressEstimate(std::vector<Item> items, int cell = 4);

    // The items in the order to render them: of every cell that has work, the item nearest its
    // middle, then all others as listed.
    std::vector<int> order() const;

    // Item `item` is finished, at `cost` (any unit, the same for all: CPU seconds). Thread-safe.
    void done(int item, double cost);

    struct Estimate {
        double share = 0.0;                 // of the frame's cost, done so far (1 when every item is)
        std::optional<double> seconds_left; // none before a finished item has cost anything
    };
    // With `elapsed` seconds spent so far.
    Estimate estimate(double elapsed) const;
    // As of now, the time since this estimate was made.
    Estimate estimate_now() const {
        return estimate(std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count());
    }

  private:
    struct Cell {
        double done_cost = 0.0, done_size = 0.0, left_size = 0.0;
    };
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::vector<Item> items_;
    std::vector<int> cell_of_;
    std::vector<Cell> cells_;
    int cell_ = 4;
    mutable std::mutex mutex_;
    double done_cost_ = 0.0, done_size_ = 0.0;
    int left_ = 0;
};

} // namespace orn
