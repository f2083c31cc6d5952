#include "controls/db_grid.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QFontMetrics>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <QSignalSpy>
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/table/data_source.h"
#include "engine/table/field.h"
#include "engine/table/sqlmem_table.h"

namespace tapir::controls {
namespace {

using engine::TDataSource;
using engine::TFieldDef;
using engine::TIndexDef;
using engine::TSQLMemTable;

// A small table ordered by Pos, with a text, a flag and a calculated flag column.
class DBGridTest : public ::testing::Test {
  protected:
    void SetUp() override {
        table_.SetTableName("GridTestTable");
        table_.FieldDefs().push_back(TFieldDef{"Pos", engine::ftInteger, 0, false});
        table_.FieldDefs().push_back(TFieldDef{"Text", engine::ftString, 20, false});
        table_.FieldDefs().push_back(TFieldDef{"Flag", engine::ftBoolean, 0, false});
        table_.IndexDefs().push_back(TIndexDef{"ByPos", "Pos", 0, "", ""});
        table_.DeclareField("Pos", engine::ftInteger);
        table_.DeclareField("Text", engine::ftString, 20).SetDisplayLabel("Label of text");
        table_.DeclareField("Flag", engine::ftBoolean);
        table_.DeclareField("Odd", engine::ftBoolean, 0, engine::fkCalculated);
        table_.OnCalcFields = [](engine::TSQLMemDataSet& ds) {
            ds.FieldByName("Odd").SetAsBoolean(ds.FieldByName("Pos").AsInteger() % 2 != 0);
        };
        table_.SetIndexFieldNames("Pos");
        table_.Open();
        source_.SetDataSet(&table_);
    }

    void TearDown() override {
        grid_.reset();
        source_.SetDataSet(nullptr);
        table_.Close();
        if (table_.Exists()) {
            table_.DeleteTable();
        }
    }

    void AddRow(int pos, const std::string& text, bool flag) {
        table_.Append();
        table_.FieldByName("Pos").SetAsInteger(pos);
        table_.FieldByName("Text").SetAsString(text);
        table_.FieldByName("Flag").SetAsBoolean(flag);
        table_.Post();
    }

    TDBGrid& MakeGrid(std::vector<TDBGridColumn> columns) {
        grid_ = std::make_unique<TDBGrid>();
        tester_ = std::make_unique<QAbstractItemModelTester>(
            &grid_->GridModel(), QAbstractItemModelTester::FailureReportingMode::Fatal);
        grid_->SetColumns(std::move(columns));
        grid_->SetDataSource(&source_);
        return *grid_;
    }

    QString Cell(int row, int column) {
        auto& model = grid_->GridModel();
        return model.data(model.index(row, column), Qt::DisplayRole).toString();
    }

    QVariant Check(int row, int column) {
        auto& model = grid_->GridModel();
        return model.data(model.index(row, column), Qt::CheckStateRole);
    }

    TSQLMemTable table_{"GridTable"};
    TDataSource source_{"Ds_Grid"};
    std::unique_ptr<TDBGrid> grid_;
    std::unique_ptr<QAbstractItemModelTester> tester_;
};

const std::vector<TDBGridColumn> kColumns{
    {"Text", 20, "Title", false, {}},
    {"Flag", 2, "F", true, "TRUE"},
    {"Odd", 2, "O", true, "Yes"},
    {"Pos", 4, {}, false, {}},
};

TEST_F(DBGridTest, ShowsRowsInTheTableOrder) {
    AddRow(30, "thirty", false);
    AddRow(10, "ten", true);
    AddRow(20, "twenty", false);
    TDBGrid& grid = MakeGrid(kColumns);
    auto& model = grid.GridModel();

    ASSERT_EQ(model.rowCount(), 3);
    ASSERT_EQ(model.columnCount(), 4);
    EXPECT_EQ(Cell(0, 0), "ten");
    EXPECT_EQ(Cell(1, 0), "twenty");
    EXPECT_EQ(Cell(2, 0), "thirty");
    EXPECT_EQ(Cell(2, 3), "30");
}

TEST_F(DBGridTest, CheckBoxColumnsCompareTheTickValueIgnoringCase) {
    AddRow(1, "one", true);
    AddRow(2, "two", false);
    MakeGrid(kColumns);

    // "TRUE" matches the boolean text "True".
    EXPECT_EQ(Check(0, 1).toInt(), Qt::Checked);
    EXPECT_EQ(Check(1, 1).toInt(), Qt::Unchecked);
    // "Yes" never matches a boolean's text, whatever the value.
    EXPECT_EQ(Check(0, 2).toInt(), Qt::Unchecked);
    EXPECT_EQ(Check(1, 2).toInt(), Qt::Unchecked);
    // Check-box columns show no text; text columns carry no check state.
    EXPECT_TRUE(Cell(0, 1).isEmpty());
    EXPECT_FALSE(Check(0, 0).isValid());
    // Read-only: nothing can be toggled or edited.
    const auto flags = grid_->GridModel().flags(grid_->GridModel().index(0, 1));
    EXPECT_FALSE(flags & Qt::ItemIsUserCheckable);
    EXPECT_FALSE(flags & Qt::ItemIsEditable);
}

TEST_F(DBGridTest, TitlesFallBackToTheFieldsDisplayLabel) {
    std::vector<TDBGridColumn> columns = kColumns;
    columns[0].Title.clear();
    MakeGrid(columns);
    auto& model = grid_->GridModel();
    EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), "Label of text");
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "F");
    EXPECT_EQ(model.headerData(3, Qt::Horizontal).toString(), "Pos");
}

TEST_F(DBGridTest, ColumnWidthsCountCharacters) {
    AddRow(1, "0000000000000000000", false);
    TDBGrid& grid = MakeGrid(kColumns);
    const QFontMetrics metrics(grid.font());
    const int average = metrics.averageCharWidth();
    const int digit = std::max(average, metrics.horizontalAdvance(QLatin1Char('0')));
    // Between the average-character and the digit measure of its count.
    EXPECT_GE(grid.columnWidth(0), 20 * average);
    EXPECT_LE(grid.columnWidth(0), 20 * digit + 6);
    // Widened for a text of digits it holds.
    EXPECT_GE(grid.columnWidth(0), metrics.horizontalAdvance(QString(19, QLatin1Char('0'))));
    EXPECT_GT(grid.columnWidth(0), grid.columnWidth(3));
}

TEST_F(DBGridTest, TitlesAndCellsAreNeverCut) {
    // Wide letters fill more than the counted width; long titles on narrow columns.
    AddRow(1, "WWWWWWWWWWWWWWWWWWWW", true);
    AddRow(2, "W", true);
    TDBGrid& grid = MakeGrid({{"Text", 4, "Text", false, {}},
                              {"Flag", 1, "Repeated", true, "TRUE"},
                              {"Pos", 1, "Wednesday", false, {}}});
    const QFontMetrics metrics(grid.font());
    auto* header = grid.horizontalHeader();
    for (int column = 0; column < 3; ++column) {
        SCOPED_TRACE(column);
        const QString title = grid.GridModel().headerData(column, Qt::Horizontal).toString();
        EXPECT_GE(grid.columnWidth(column), metrics.horizontalAdvance(title));
        EXPECT_GE(grid.columnWidth(column), header->sectionSizeHint(column));
    }
    EXPECT_GE(grid.columnWidth(0), metrics.horizontalAdvance(QString(20, QLatin1Char('W'))));

    // The grid asks for room for all its columns.
    int columns = 0;
    for (int column = 0; column < 3; ++column) {
        columns += grid.columnWidth(column);
    }
    EXPECT_GT(grid.sizeHint().width(), columns);
    EXPECT_EQ(grid.sizeHint().width(), grid.ColumnsWidth());
    grid.resize(grid.sizeHint().width(), 200);
    grid.show();
    EXPECT_FALSE(grid.horizontalScrollBar()->isVisible());

    // The column follows its cells: it narrows and widens with them.
    const int before = grid.columnWidth(0);
    table_.First();
    table_.Edit();
    table_.FieldByName("Text").SetAsString("WW");
    table_.Post();
    EXPECT_LT(grid.columnWidth(0), before);
    table_.Edit();
    table_.FieldByName("Text").SetAsString("WWWWWWWWWWWWWWWWWWWW");
    table_.Post();
    EXPECT_EQ(grid.columnWidth(0), before);
}

TEST_F(DBGridTest, CurrentRowFollowsTheTable) {
    AddRow(1, "one", false);
    AddRow(2, "two", false);
    AddRow(3, "three", false);
    TDBGrid& grid = MakeGrid(kColumns);
    auto& model = grid.GridModel();

    table_.First();
    EXPECT_EQ(model.CurrentRow(), 0);
    EXPECT_EQ(grid.currentIndex().row(), 0);
    table_.Next();
    table_.Next();
    EXPECT_EQ(model.CurrentRow(), 2);
    EXPECT_EQ(grid.currentIndex().row(), 2);
    EXPECT_TRUE(grid.selectionModel()->isRowSelected(2, QModelIndex()));
    // The row indicator marks the current row only.
    EXPECT_FALSE(model.headerData(2, Qt::Vertical).toString().isEmpty());
    EXPECT_TRUE(model.headerData(0, Qt::Vertical).toString().isEmpty());
}

TEST_F(DBGridTest, PickingARowMovesTheTable) {
    AddRow(1, "one", false);
    AddRow(2, "two", false);
    AddRow(3, "three", false);
    TDBGrid& grid = MakeGrid(kColumns);
    table_.First();

    grid.selectionModel()->setCurrentIndex(
        grid.GridModel().index(1, 0),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    EXPECT_EQ(table_.RecNo(), 2);
    EXPECT_EQ(table_.FieldByName("Text").AsString(), "two");
    EXPECT_EQ(grid.GridModel().CurrentRow(), 1);
}

TEST_F(DBGridTest, FollowsRowsAddedAndDeleted) {
    TDBGrid& grid = MakeGrid(kColumns);
    auto& model = grid.GridModel();
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(model.CurrentRow(), -1);

    AddRow(5, "five", false);
    AddRow(2, "two", true);
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(Cell(0, 0), "two");
    // A posted row is current and shown at its place in the order.
    EXPECT_EQ(model.CurrentRow(), 0);

    table_.Last();
    table_.Delete();
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(Cell(0, 0), "two");

    table_.Edit();
    table_.FieldByName("Text").SetAsString("changed");
    table_.Post();
    EXPECT_EQ(Cell(0, 0), "changed");
}

TEST_F(DBGridTest, ClosedTableShowsNoRows) {
    AddRow(1, "one", false);
    TDBGrid& grid = MakeGrid(kColumns);
    EXPECT_EQ(grid.GridModel().rowCount(), 1);
    table_.Close();
    EXPECT_EQ(grid.GridModel().rowCount(), 0);
    table_.Open();
    EXPECT_EQ(grid.GridModel().rowCount(), 1);
}

TEST_F(DBGridTest, CellTextHookFormatsCells) {
    AddRow(7, "seven", false);
    TDBGrid& grid = MakeGrid(kColumns);
    grid.GridModel().SetCellText(
        [](const engine::TField& field) { return "<" + field.AsString() + ">"; });
    EXPECT_EQ(Cell(0, 0), "<seven>");
    EXPECT_EQ(Cell(0, 3), "<7>");
}

TEST_F(DBGridTest, RowStyleHookColoursRowsAndGivesTooltips) {
    AddRow(1, "one", false);
    AddRow(2, "two", true);
    TDBGrid& grid = MakeGrid(kColumns);
    auto& model = grid.GridModel();
    EXPECT_FALSE(model.data(model.index(0, 0), Qt::BackgroundRole).isValid());

    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.SetRowStyle([](engine::TSQLMemDataSet& row) {
        TDBGridRowStyle style;
        if (row.FieldByName("Flag").AsBoolean()) {
            style.Background = QColor(0x80, 0x00, 0x00);
            style.Foreground = QColor(Qt::white);
            style.ToolTip = QString::fromUtf8(row.FieldByName("Text").AsString());
        }
        return style;
    });
    EXPECT_EQ(changed.count(), 1);
    const int current = table_.RecNo();
    // Only the flagged row (Pos 2, the second) stands out, in every column.
    for (int column = 0; column < model.columnCount(); ++column) {
        SCOPED_TRACE(column);
        EXPECT_FALSE(model.data(model.index(0, column), Qt::BackgroundRole).isValid());
        EXPECT_FALSE(model.data(model.index(0, column), Qt::ToolTipRole).isValid());
        EXPECT_EQ(model.data(model.index(1, column), Qt::BackgroundRole).value<QColor>(),
                  QColor(0x80, 0x00, 0x00));
        EXPECT_EQ(model.data(model.index(1, column), Qt::ForegroundRole).value<QColor>(),
                  QColor(Qt::white));
        EXPECT_EQ(model.data(model.index(1, column), Qt::ToolTipRole).toString(), "two");
    }
    // Reading styles never moves the table.
    EXPECT_EQ(table_.RecNo(), current);
    model.RefreshRowStyles();
    EXPECT_EQ(changed.count(), 2);
}

}  // namespace
}  // namespace tapir::controls
