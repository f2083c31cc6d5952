#include "engine/table/data_source.h"

#include <algorithm>

#include "engine/table/sqlmem_dataset.h"

namespace tapir::engine {

// --- TDataLink ----------------------------------------------------------------------------

TDataLink::~TDataLink() {
    if (data_source_ != nullptr) {
        data_source_->RemoveLink(this);
    }
}

void TDataLink::SetDataSource(TDataSource* source) {
    if (source == data_source_) {
        return;
    }
    if (data_source_ != nullptr) {
        data_source_->RemoveLink(this);
    }
    if (source != nullptr) {
        source->AddLink(this);
    }
    UpdateState();
}

TSQLMemDataSet* TDataLink::DataSet() const {
    return data_source_ != nullptr ? data_source_->DataSet() : nullptr;
}

bool TDataLink::Active() const {
    return data_source_ != nullptr && data_source_->State() != dsInactive;
}

void TDataLink::UpdateState() {
    const bool active = Active();
    const TDataSetState state = data_source_ != nullptr ? data_source_->State() : dsInactive;
    const bool editing = state == dsEdit || state == dsInsert;
    if (active != active_) {
        active_ = active;
        ActiveChanged();
    }
    if (editing != editing_) {
        editing_ = editing;
        EditingChanged();
    }
}

void TDataLink::Dispatch(TDataEvent event, TField* field) {
    switch (event) {
        case TDataEvent::FieldChange:
            RecordChanged(field);
            break;
        case TDataEvent::RecordChange:
            RecordChanged(nullptr);
            break;
        case TDataEvent::DataSetChange:
            DataSetChanged();
            break;
        case TDataEvent::DataSetScroll:
            DataSetScrolled();
            break;
        case TDataEvent::LayoutChange:
            LayoutChanged();
            break;
        case TDataEvent::UpdateRecord:
            UpdateData();
            break;
        case TDataEvent::UpdateState:
            UpdateState();
            StateChanged();
            break;
        case TDataEvent::CheckBrowseMode:
            CheckBrowseMode();
            break;
    }
}

// --- TDataSource --------------------------------------------------------------------------

TDataSource::TDataSource(std::string name) : name_(std::move(name)) {}

TDataSource::~TDataSource() {
    // A link's handler may raise (a control that cannot take the change); the source goes
    // away all the same and no link keeps a pointer to it.
    try {
        SetDataSet(nullptr);
    } catch (...) {
        if (dataset_ != nullptr) {
            dataset_->RemoveDataSource(this);
            dataset_ = nullptr;
        }
    }
    const std::vector<TDataLink*> links = links_;
    for (TDataLink* link : links) {
        try {
            link->SetDataSource(nullptr);
        } catch (...) {
            RemoveLink(link);
        }
    }
}

void TDataSource::SetDataSet(TSQLMemDataSet* dataset) {
    if (dataset == dataset_) {
        return;
    }
    if (dataset_ != nullptr) {
        dataset_->RemoveDataSource(this);
    }
    dataset_ = dataset;
    if (dataset_ != nullptr) {
        dataset_->AddDataSource(this);
    }
    DataEvent(TDataEvent::UpdateState, nullptr);
}

void TDataSource::SetEnabled(bool enabled) {
    if (enabled == enabled_) {
        return;
    }
    enabled_ = enabled;
    DataEvent(TDataEvent::UpdateState, nullptr);
}

TDataSetState TDataSource::State() const {
    if (!enabled_ || dataset_ == nullptr) {
        return dsInactive;
    }
    return dataset_->VisibleState();
}

void TDataSource::AddLink(TDataLink* link) {
    links_.push_back(link);
    link->data_source_ = this;
}

void TDataSource::RemoveLink(TDataLink* link) {
    links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
    link->data_source_ = nullptr;
}

void TDataSource::DataEvent(TDataEvent event, TField* field) {
    // A handler may detach links (a dialog closing) or attach new ones: work on a copy and
    // skip links that left meanwhile.
    if (event != TDataEvent::UpdateState && State() == dsInactive) {
        return;
    }
    const std::vector<TDataLink*> links = links_;
    for (TDataLink* link : links) {
        if (std::find(links_.begin(), links_.end(), link) != links_.end()) {
            link->Dispatch(event, field);
        }
    }
}

}  // namespace tapir::engine
