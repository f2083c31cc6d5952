#pragma once
// Guards the dataset layer's files share: a temporary state, and reading another row
// through the field accessors. Internal to the table component.

#include "engine/table/sqlmem_dataset.h"

namespace tapir::engine {

// Sets a temporary state for the lifetime of the guard; the data sources are not told.
class TSQLMemDataSet::TempState {
  public:
    TempState(TSQLMemDataSet& dataset, TDataSetState state)
        : dataset_(dataset), saved_(dataset.state_) {
        dataset_.state_ = state;
    }
    TempState(const TempState&) = delete;
    TempState& operator=(const TempState&) = delete;
    ~TempState() { dataset_.state_ = saved_; }

  private:
    TSQLMemDataSet& dataset_;
    TDataSetState saved_;
};

namespace dataset_detail {

// Points the field accessors at another row for the guard's lifetime.
template <typename Row>
class ReadOverride {
  public:
    ReadOverride(Row*& slot, Row* row) : slot_(slot), saved_(slot) { slot = row; }
    ReadOverride(const ReadOverride&) = delete;
    ReadOverride& operator=(const ReadOverride&) = delete;
    ~ReadOverride() { slot_ = saved_; }

  private:
    Row*& slot_;
    Row* saved_;
};

}  // namespace dataset_detail

}  // namespace tapir::engine
