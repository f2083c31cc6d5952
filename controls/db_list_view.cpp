#include "controls/db_list_view.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>

#include "engine/table/field.h"
#include "engine/table/sqlmem_dataset.h"

namespace tapir::controls {

using tapir::engine::TField;
using tapir::engine::TSQLMemDataSet;

DataSourceRowModel::DataSourceRowModel(QObject* parent) : QAbstractTableModel(parent) {}

DataSourceRowModel::~DataSourceRowModel() { link_.SetDataSource(nullptr); }

void DataSourceRowModel::Bind(tapir::engine::TDataSource* source, std::vector<ListColumn> columns) {
    beginResetModel();
    columns_ = std::move(columns);
    link_.SetDataSource(source);
    row_count_ = link_.Active() ? link_.DataSet()->RecordCount() : 0;
    indicator_row_ = CurrentRow();
    endResetModel();
    emit CurrentRowMoved();
}

int DataSourceRowModel::CurrentRow() const {
    if (!link_.Active()) {
        return -1;
    }
    return link_.DataSet()->RecNo() - 1;
}

int DataSourceRowModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : row_count_;
}

int DataSourceRowModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant DataSourceRowModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || !link_.Active() ||
        index.row() >= row_count_ || index.column() >= columnCount()) {
        return {};
    }
    TSQLMemDataSet* dataset = link_.DataSet();
    TField* field = dataset->FindField(columns_[index.column()].field_name);
    if (field == nullptr) {
        return {};
    }
    QString text;
    dataset->ReadRowAt(index.row() + 1, [&] { text = QString::fromStdString(field->AsString()); });
    return text;
}

QVariant DataSourceRowModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) {
        return {};
    }
    if (orientation == Qt::Horizontal) {
        if (section < 0 || section >= columnCount()) {
            return {};
        }
        return QString::fromStdString(columns_[section].title);
    }
    return section == indicator_row_ ? QStringLiteral("\u25B8") : QString();
}

void DataSourceRowModel::Reload() {
    beginResetModel();
    row_count_ = link_.Active() ? link_.DataSet()->RecordCount() : 0;
    indicator_row_ = CurrentRow();
    endResetModel();
    emit CurrentRowMoved();
}

void DataSourceRowModel::Scrolled() {
    const int count = link_.Active() ? link_.DataSet()->RecordCount() : 0;
    if (count != row_count_) {
        Reload();
        return;
    }
    const int old_row = indicator_row_;
    indicator_row_ = CurrentRow();
    if (old_row != indicator_row_) {
        if (old_row >= 0) {
            emit headerDataChanged(Qt::Vertical, old_row, old_row);
        }
        if (indicator_row_ >= 0) {
            emit headerDataChanged(Qt::Vertical, indicator_row_, indicator_row_);
        }
    }
    emit CurrentRowMoved();
}

void DataSourceRowModel::RowChanged() {
    const int row = CurrentRow();
    if (row >= 0 && row < row_count_ && !columns_.empty()) {
        emit dataChanged(index(row, 0), index(row, columnCount() - 1));
    }
}

DbListView::DbListView(QWidget* parent) : QTableView(parent) {
    setModel(&model_);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(true);
    setWordWrap(false);
    setTabKeyNavigation(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setMinimumSectionSize(kRowHeight);
    verticalHeader()->setDefaultSectionSize(kRowHeight);
    horizontalHeader()->setFixedHeight(kTitleHeight - 2 * frameWidth());
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setStretchLastSection(false);
    SetRowIndicator(false);
    connect(&model_, &DataSourceRowModel::CurrentRowMoved, this, &DbListView::FollowDataSet);
    connect(selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current, const QModelIndex&) { SelectionMoved(current); });
}

DbListView::~DbListView() = default;

void DbListView::Bind(tapir::engine::TDataSource* source, std::vector<ListColumn> columns) {
    model_.Bind(source, std::move(columns));
    const QFontMetrics metrics(font());
    const int char_width = metrics.horizontalAdvance(QLatin1Char('0'));
    for (int col = 0; col < model_.columnCount(); ++col) {
        setColumnWidth(col, model_.Columns()[col].width_chars * char_width + 4);
    }
    FollowDataSet();
}

void DbListView::SetRowIndicator(bool shown) {
    verticalHeader()->setVisible(shown);
    verticalHeader()->setFixedWidth(12);
}

void DbListView::keyPressEvent(QKeyEvent* event) {
    event->ignore();
    emit KeyDown(event);
    if (event->isAccepted()) {
        return;
    }
    event->accept();
    QTableView::keyPressEvent(event);
}

void DbListView::mouseDoubleClickEvent(QMouseEvent* event) {
    QTableView::mouseDoubleClickEvent(event);
    if (indexAt(event->position().toPoint()).isValid()) {
        emit RowDoubleClicked();
    }
}

void DbListView::FollowDataSet() {
    const int row = model_.CurrentRow();
    following_ = true;
    if (row >= 0 && row < model_.rowCount()) {
        const QModelIndex target = model_.index(row, 0);
        if (currentIndex().row() != row) {
            setCurrentIndex(target);
        }
        selectRow(row);
        scrollTo(target);
    } else {
        clearSelection();
    }
    following_ = false;
}

void DbListView::SelectionMoved(const QModelIndex& current) {
    if (following_ || !current.isValid()) {
        return;
    }
    tapir::engine::TDataSource* source = model_.Source();
    if (source == nullptr || source->DataSet() == nullptr || !source->DataSet()->Active()) {
        return;
    }
    TSQLMemDataSet* dataset = source->DataSet();
    if (dataset->RecNo() != current.row() + 1) {
        dataset->SetRecNo(current.row() + 1);
    }
}

}  // namespace tapir::controls
