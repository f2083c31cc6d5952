#pragma once
// A read-only grid over a dataset: the rows in the dataset's own order, one column per
// listed field, check-box columns for flags, whole-row selection and a row indicator.
// It follows the dataset through a data link (current row, row changes) and moves the
// dataset when the user picks a row. UI thread only.

#include <QAbstractTableModel>
#include <QColor>
#include <QString>
#include <QTableView>
#include <functional>
#include <string>
#include <vector>

#include "engine/table/data_source.h"

namespace tapir::engine {
class TField;
class TSQLMemDataSet;
}  // namespace tapir::engine

namespace tapir::controls {

// One grid column: the field it shows, its width in characters and its title (the
// field's display label when empty). A check-box column ticks its box exactly when the
// cell's text equals TickValue, letter case ignored, and shows no text.
struct TDBGridColumn {
    std::string FieldName;
    int Width = 10;
    std::string Title;
    bool CheckBox = false;
    std::string TickValue = "True";
};

// How one row stands out: its colours (an invalid colour leaves the view's own) and the
// tooltip of its cells (none when empty).
struct TDBGridRowStyle {
    QColor Background;
    QColor Foreground;
    QString ToolTip;
};

// Table model over a data source. Rows are read through TSQLMemDataSet::ReadRowAt, so
// showing a row never moves the dataset. The vertical header carries the row indicator
// ("▶") on the dataset's current row.
class TDBGridModel : public QAbstractTableModel, private tapir::engine::TDataLink {
    Q_OBJECT

  public:
    explicit TDBGridModel(QObject* parent = nullptr);
    ~TDBGridModel() override;

    // Requires: the source (and its dataset) outlive this model or are detached first.
    void SetDataSource(tapir::engine::TDataSource* source);
    tapir::engine::TDataSource* DataSource() const { return TDataLink::DataSource(); }
    void SetColumns(std::vector<TDBGridColumn> columns);
    const std::vector<TDBGridColumn>& Columns() const { return columns_; }
    // How a non-check-box cell turns its field into text; the field's AsString when unset.
    void SetCellText(std::function<std::string(const tapir::engine::TField&)> cell_text);
    // How a row looks beyond its text, read from the row's fields (the dataset is positioned
    // on the row while `row_style` runs and must not be moved by it). Unset: no styling.
    void SetRowStyle(std::function<TDBGridRowStyle(tapir::engine::TSQLMemDataSet&)> row_style);
    // Asks the view to read every row's style again, after what `row_style` depends on
    // changed outside the dataset.
    void RefreshRowStyles();

    // The dataset's current row as a model row, -1 when there is none.
    int CurrentRow() const;
    // The size of the field a column shows (characters of a text field), 0 when the
    // field is unknown or has no size.
    int FieldSize(int column) const;
    // Moves the dataset to model row `row` (browse state only). Returns false when the
    // dataset did not move there.
    bool MoveTo(int row);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

  signals:
    // The dataset's current row changed (model row, -1 when none).
    void CurrentRowChanged(int row);

  private:
    void ActiveChanged() override;
    void DataSetChanged() override;
    void DataSetScrolled() override;
    void RecordChanged(tapir::engine::TField* field) override;
    void LayoutChanged() override;
    void EditingChanged() override;

    // Counts the rows again and resets the model when the row set may have changed.
    void Reload();
    void AnnounceCurrentRow();
    int CountRows() const;
    std::string CellText(const TDBGridColumn& column) const;
    TDBGridRowStyle RowStyleAt(int row) const;

    std::vector<TDBGridColumn> columns_;
    std::function<std::string(const tapir::engine::TField&)> cell_text_;
    std::function<TDBGridRowStyle(tapir::engine::TSQLMemDataSet&)> row_style_;
    int row_count_ = 0;
    int current_row_ = -1;
    bool resetting_ = false;
};

// The grid control: a QTableView over a TDBGridModel, read-only, whole rows selected,
// column widths counted in characters of the view's font and widened to fit their titles
// and cells.
class TDBGrid : public QTableView {
    Q_OBJECT

  public:
    explicit TDBGrid(QWidget* parent = nullptr);

    TDBGridModel& GridModel() { return model_; }
    const TDBGridModel& GridModel() const { return model_; }
    void SetDataSource(tapir::engine::TDataSource* source) { model_.SetDataSource(source); }
    void SetColumns(std::vector<TDBGridColumn> columns);
    // The width that shows every column without a horizontal scroll bar: the row
    // indicator, the columns, the frame and room for a vertical scroll bar.
    int ColumnsWidth() const;
    QSize sizeHint() const override;

  private:
    void ApplyColumnWidths();
    void FollowDataSet(int row);
    void UserPickedRow(const QModelIndex& current);

    TDBGridModel model_;
    bool following_ = false;
};

}  // namespace tapir::controls
