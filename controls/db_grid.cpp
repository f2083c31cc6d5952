#include "controls/db_grid.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <QString>
#include <QStyle>
#include <QStyleOptionButton>
#include <algorithm>
#include <utility>

#include "engine/table/field.h"
#include "engine/table/sqlmem_dataset.h"

namespace tapir::controls {

namespace {

using tapir::engine::TField;
using tapir::engine::TSQLMemDataSet;

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return QString::fromUtf8(a).compare(QString::fromUtf8(b), Qt::CaseInsensitive) == 0;
}

const QString kRowIndicator = QStringLiteral("\u25B6");

}  // namespace

// ---------------------------------------------------------------------------------------
// TDBGridModel

TDBGridModel::TDBGridModel(QObject* parent) : QAbstractTableModel(parent) {}

TDBGridModel::~TDBGridModel() = default;

void TDBGridModel::SetDataSource(tapir::engine::TDataSource* source) {
    TDataLink::SetDataSource(source);
    Reload();
}

void TDBGridModel::SetColumns(std::vector<TDBGridColumn> columns) {
    beginResetModel();
    columns_ = std::move(columns);
    row_count_ = CountRows();
    endResetModel();
}

void TDBGridModel::SetCellText(std::function<std::string(const TField&)> cell_text) {
    cell_text_ = std::move(cell_text);
    if (row_count_ > 0 && !columns_.empty()) {
        emit dataChanged(index(0, 0), index(row_count_ - 1, static_cast<int>(columns_.size()) - 1));
    }
}

void TDBGridModel::SetRowStyle(
    std::function<TDBGridRowStyle(tapir::engine::TSQLMemDataSet&)> row_style) {
    row_style_ = std::move(row_style);
    RefreshRowStyles();
}

void TDBGridModel::RefreshRowStyles() {
    if (row_count_ > 0 && !columns_.empty()) {
        emit dataChanged(index(0, 0), index(row_count_ - 1, static_cast<int>(columns_.size()) - 1),
                         {Qt::BackgroundRole, Qt::ForegroundRole, Qt::ToolTipRole});
    }
}

TDBGridRowStyle TDBGridModel::RowStyleAt(int row) const {
    TDBGridRowStyle style;
    if (row_style_) {
        DataSet()->ReadRowAt(row + 1, [&] { style = row_style_(*DataSet()); });
    }
    return style;
}

int TDBGridModel::CountRows() const {
    if (!Active()) {
        return 0;
    }
    return DataSet()->RecordCount();
}

int TDBGridModel::CurrentRow() const {
    if (!Active() || DataSet()->IsEmpty()) {
        return -1;
    }
    const int rec_no = DataSet()->RecNo();
    return rec_no >= 1 ? rec_no - 1 : -1;
}

bool TDBGridModel::MoveTo(int row) {
    if (!Active() || row < 0 || row >= row_count_) {
        return false;
    }
    TSQLMemDataSet* dataset = DataSet();
    if (dataset->State() != tapir::engine::dsBrowse) {
        return false;
    }
    if (dataset->RecNo() != row + 1) {
        dataset->SetRecNo(row + 1);
    }
    return dataset->RecNo() == row + 1;
}

int TDBGridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : row_count_;
}

int TDBGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

int TDBGridModel::FieldSize(int column) const {
    if (!Active() || column < 0 || column >= static_cast<int>(columns_.size())) {
        return 0;
    }
    const TField* field = DataSet()->FindField(columns_[static_cast<size_t>(column)].FieldName);
    return field == nullptr ? 0 : field->Size();
}

std::string TDBGridModel::CellText(const TDBGridColumn& column) const {
    const TField* field = DataSet()->FindField(column.FieldName);
    if (field == nullptr) {
        return {};
    }
    return cell_text_ ? cell_text_(*field) : field->AsString();
}

QVariant TDBGridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= row_count_ ||
        index.column() >= static_cast<int>(columns_.size()) || !Active()) {
        return {};
    }
    const TDBGridColumn& column = columns_[static_cast<size_t>(index.column())];
    if (role == Qt::DisplayRole && !column.CheckBox) {
        std::string text;
        DataSet()->ReadRowAt(index.row() + 1, [&] { text = CellText(column); });
        return QString::fromUtf8(text);
    }
    if (role == Qt::CheckStateRole && column.CheckBox) {
        std::string text;
        DataSet()->ReadRowAt(index.row() + 1, [&] { text = CellText(column); });
        return EqualsIgnoringCase(text, column.TickValue) ? Qt::Checked : Qt::Unchecked;
    }
    if (role == Qt::TextAlignmentRole && column.CheckBox) {
        return QVariant::fromValue(Qt::AlignCenter);
    }
    if (row_style_ &&
        (role == Qt::BackgroundRole || role == Qt::ForegroundRole || role == Qt::ToolTipRole)) {
        const TDBGridRowStyle style = RowStyleAt(index.row());
        if (role == Qt::BackgroundRole && style.Background.isValid()) {
            return style.Background;
        }
        if (role == Qt::ForegroundRole && style.Foreground.isValid()) {
            return style.Foreground;
        }
        if (role == Qt::ToolTipRole && !style.ToolTip.isEmpty()) {
            return style.ToolTip;
        }
    }
    return {};
}

QVariant TDBGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole || section < 0) {
        return {};
    }
    if (orientation == Qt::Vertical) {
        return section == current_row_ ? kRowIndicator : QString();
    }
    if (section >= static_cast<int>(columns_.size())) {
        return {};
    }
    const TDBGridColumn& column = columns_[static_cast<size_t>(section)];
    if (!column.Title.empty()) {
        return QString::fromUtf8(column.Title);
    }
    if (Active()) {
        if (const TField* field = DataSet()->FindField(column.FieldName)) {
            return QString::fromUtf8(field->DisplayLabel());
        }
    }
    return QString::fromUtf8(column.FieldName);
}

Qt::ItemFlags TDBGridModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    // Read-only: a check-box column shows its state but cannot be toggled here.
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void TDBGridModel::Reload() {
    if (resetting_) {
        return;
    }
    resetting_ = true;
    beginResetModel();
    row_count_ = CountRows();
    current_row_ = CurrentRow();
    endResetModel();
    resetting_ = false;
    emit CurrentRowChanged(current_row_);
}

void TDBGridModel::AnnounceCurrentRow() {
    const int previous = current_row_;
    current_row_ = CurrentRow();
    if (previous == current_row_) {
        return;
    }
    if (previous >= 0 && previous < row_count_) {
        emit headerDataChanged(Qt::Vertical, previous, previous);
    }
    if (current_row_ >= 0 && current_row_ < row_count_) {
        emit headerDataChanged(Qt::Vertical, current_row_, current_row_);
    }
    emit CurrentRowChanged(current_row_);
}

void TDBGridModel::ActiveChanged() { Reload(); }

void TDBGridModel::DataSetChanged() {
    // While a row is being inserted or edited the stored rows stay as they are; the
    // grid catches up when the dataset returns to browse state.
    if (Active() && DataSet()->State() != tapir::engine::dsBrowse) {
        return;
    }
    Reload();
}

void TDBGridModel::DataSetScrolled() {
    if (Active() && DataSet()->State() != tapir::engine::dsBrowse) {
        return;
    }
    if (CountRows() != row_count_) {
        Reload();
    } else {
        AnnounceCurrentRow();
    }
}

void TDBGridModel::RecordChanged(TField* /*field*/) {
    if (!Active() || DataSet()->State() != tapir::engine::dsBrowse) {
        return;
    }
    if (CountRows() != row_count_) {
        Reload();
        return;
    }
    if (current_row_ >= 0 && current_row_ < row_count_ && !columns_.empty()) {
        emit dataChanged(index(current_row_, 0),
                         index(current_row_, static_cast<int>(columns_.size()) - 1));
    }
}

void TDBGridModel::LayoutChanged() { Reload(); }

void TDBGridModel::EditingChanged() {
    // Leaving insert or edit state may add, remove or move a row.
    if (Active() && DataSet()->State() == tapir::engine::dsBrowse) {
        Reload();
    }
}

// ---------------------------------------------------------------------------------------
// TDBGrid

TDBGrid::TDBGrid(QWidget* parent) : QTableView(parent) {
    setModel(&model_);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setWordWrap(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    verticalHeader()->setDefaultAlignment(Qt::AlignCenter);
    verticalHeader()->setFixedWidth(fontMetrics().horizontalAdvance(QStringLiteral("\u25B6")) + 10);
    horizontalHeader()->setHighlightSections(false);
    // Narrow check-box columns keep their counted width.
    horizontalHeader()->setMinimumSectionSize(4);
    horizontalHeader()->setSectionsClickable(false);

    connect(&model_, &TDBGridModel::CurrentRowChanged, this, &TDBGrid::FollowDataSet);
    connect(&model_, &QAbstractItemModel::modelReset, this, &TDBGrid::ApplyColumnWidths);
    connect(&model_, &QAbstractItemModel::dataChanged, this, &TDBGrid::ApplyColumnWidths);
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) { UserPickedRow(current); });
}

void TDBGrid::SetColumns(std::vector<TDBGridColumn> columns) {
    model_.SetColumns(std::move(columns));
    ApplyColumnWidths();
    FollowDataSet(model_.CurrentRow());
}

void TDBGrid::ApplyColumnWidths() {
    // A column of n characters is at least n average characters wide, and never narrower
    // than its title or the cells it shows in the font in use. Cells count up to twice the
    // digit measure of n, enough for any text of n characters in a wide script, so that a
    // damaged value cannot push the other columns out of sight.
    const QFontMetrics metrics(font());
    const int average = metrics.averageCharWidth();
    const int digit = std::max(average, metrics.horizontalAdvance(QLatin1Char('0')));
    constexpr int kPadding = 6;
    const auto& columns = model_.Columns();
    QStyleOptionButton check_box;
    check_box.initFrom(this);
    const int check_width =
        style()->subElementRect(QStyle::SE_CheckBoxIndicator, &check_box, this).width() + kPadding;
    for (size_t i = 0; i < columns.size(); ++i) {
        const int column = static_cast<int>(i);
        int width = columns[i].Width * average + kPadding;
        width = std::max(width, horizontalHeader()->sectionSizeHint(column));
        if (columns[i].CheckBox) {
            width = std::max(width, check_width);
        } else if (model_.rowCount() > 0) {
            const int characters = std::max(columns[i].Width, model_.FieldSize(column));
            const int widest = 2 * characters * digit + kPadding;
            width = std::max(width, std::min(sizeHintForColumn(column), widest));
        }
        setColumnWidth(column, width);
    }
    updateGeometry();
}

int TDBGrid::ColumnsWidth() const {
    int width = verticalHeader()->width() + 2 * frameWidth();
    for (int column = 0; column < model_.columnCount(); ++column) {
        width += columnWidth(column);
    }
    return width + verticalScrollBar()->sizeHint().width();
}

QSize TDBGrid::sizeHint() const { return {ColumnsWidth(), QTableView::sizeHint().height()}; }

void TDBGrid::FollowDataSet(int row) {
    following_ = true;
    if (row < 0) {
        selectionModel()->clearSelection();
        selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
    } else {
        const int column = currentIndex().isValid() ? currentIndex().column() : 0;
        const QModelIndex target = model_.index(row, column);
        selectionModel()->setCurrentIndex(
            target, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        scrollTo(target);
    }
    following_ = false;
}

void TDBGrid::UserPickedRow(const QModelIndex& current) {
    if (following_ || !current.isValid()) {
        return;
    }
    if (!model_.MoveTo(current.row())) {
        // The dataset stays where it is (for instance while a row is being edited); show
        // its real position again.
        FollowDataSet(model_.CurrentRow());
    }
}

}  // namespace tapir::controls
