#pragma once
// A read-only list over the visible rows of a data source: columns of fields with widths
// in characters and titles, whole-row selection, an optional row indicator. Selecting a
// row makes it the dataset's current row; moving the dataset moves the selection.

#include <QAbstractTableModel>
#include <QTableView>
#include <string>
#include <vector>

#include "controls/field_data_link.h"

class QKeyEvent;

namespace tapir::engine {
class TDataSource;
}

namespace tapir::controls {

struct ListColumn {
    std::string field_name;
    int width_chars = 10;
    std::string title;
};

// Table model over the rows of a data source, one column per ListColumn.
class DataSourceRowModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit DataSourceRowModel(QObject* parent = nullptr);
    ~DataSourceRowModel() override;

    void Bind(tapir::engine::TDataSource* source, std::vector<ListColumn> columns);
    const std::vector<ListColumn>& Columns() const { return columns_; }
    tapir::engine::TDataSource* Source() const { return link_.DataSource(); }
    // 0-based row of the dataset's current row, or -1.
    int CurrentRow() const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

signals:
    // The dataset's current row moved (or the rows were re-read).
    void CurrentRowMoved();

private:
    class Link : public tapir::engine::TDataLink {
    public:
        explicit Link(DataSourceRowModel& owner) : owner_(owner) {}
        ~Link() override { SetDataSource(nullptr); }
        void ActiveChanged() override { owner_.Reload(); }
        void DataSetChanged() override { owner_.Reload(); }
        void DataSetScrolled() override { owner_.Scrolled(); }
        void RecordChanged(tapir::engine::TField*) override { owner_.RowChanged(); }
        void LayoutChanged() override { owner_.Reload(); }

    private:
        DataSourceRowModel& owner_;
    };

    void Reload();
    void Scrolled();
    void RowChanged();

    Link link_{*this};
    std::vector<ListColumn> columns_;
    int row_count_ = 0;
    int indicator_row_ = -1;
};

class DbListView : public QTableView {
    Q_OBJECT
public:
    explicit DbListView(QWidget* parent = nullptr);
    ~DbListView() override;

    // Requires: source outlives this control or is unbound first.
    void Bind(tapir::engine::TDataSource* source, std::vector<ListColumn> columns);
    void SetRowIndicator(bool shown);
    DataSourceRowModel& RowModel() { return model_; }

    static constexpr int kRowHeight = 17;
    static constexpr int kTitleHeight = 21;

signals:
    // A key went down; a handler that accepts the event takes the key from the list.
    void KeyDown(QKeyEvent* event);
    // A row was double-clicked.
    void RowDoubleClicked();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void FollowDataSet();
    void SelectionMoved(const QModelIndex& current);

    DataSourceRowModel model_;
    bool following_ = false;
};

}  // namespace tapir::controls
