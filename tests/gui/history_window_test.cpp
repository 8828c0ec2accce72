// The history window on a file of 10,000 entries and a few damaged lines: what it counts,
// how it sorts and filters, what it plots and how its legend and axes read, what it exports. Its
// open time is a benchmark (bench/run.py), not a check here.
#include <QtCharts>
#include <QtTest>
#include <QtWidgets>

#include "core/history/history_log.h"
#include "gui/history_window.h"
#include "sim/memory_log_folder.h"
#include "sim/simulated_history.h"

using namespace horalign;

class HistoryWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void aLargeDamagedHistoryIsShownSortedFilteredPlottedAndExported() {
    sim::MemoryLogFolder folder;
    HistoryLog log(folder, nullptr);
    const std::vector<sim::PastDevice> devices = {{1, "QM8340", "10001", 20},
                                                  {2, "QM6840", "20002", -50},
                                                  {3, "KR9010", "30003", 100},
                                                  {4, "QM8340", "40004", 0}};
    const int count = sim::WriteSimulatedHistory(log, devices, 1'796'479'509'000, 104, 60);
    std::string& file = folder.files["history.jsonl"];
    file.insert(file.find('\n', file.size() / 2) + 1, "{\"v\":2,\"utcMs\":1}\n\x01\xff binary\n");
    file += "{\"v\":1,\"time\":\"2026-";  // the last line cut

    HistoryWindow window(folder);
    window.show();
    window.Reload();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.Summary()->text(),  // 4 connections and 2496 writes of each device
             "9988 entries; 2 lines unreadable; 1 line of a newer version");
    QCOMPARE(folder.files["history.jsonl"], file);  // never written back
    QAbstractItemModel* table = window.Table()->model();
    QCOMPARE(table->rowCount(), count);
    QCOMPARE(window.DeviceList()->itemText(1), "KR9010  S/N 30003");  // after "All devices", sorted
    QCOMPARE(window.Chart()->series().size(), 8);  // offset and drift of each device

    // Offset and drift of one device share its colour, so the legend must tell them apart by
    // something else; the axes step by round numbers; the table fits the window it opens in.
    const QList<QLegendMarker*> markers = window.Chart()->legend()->markers();
    const auto looks = [&](QLegendMarker* m) {
      const QLegend::MarkerShape shape = m->shape() == QLegend::MarkerShapeDefault
                                             ? window.Chart()->legend()->markerShape()
                                             : m->shape();
      // Drawn from its series, a line's marker is a piece of that line, pen style and all.
      const Qt::PenStyle style = shape == QLegend::MarkerShapeFromSeries
                                     ? static_cast<QLineSeries*>(m->series())->pen().style()
                                     : Qt::NoPen;
      return std::pair(shape == QLegend::MarkerShapeDefault ? QLegend::MarkerShapeRectangle : shape,
                       style);
    };
    for (int i = 0; i < markers.size(); i += 2) {
      QVERIFY(markers[i]->label().endsWith(" offset") &&
              markers[i + 1]->label().endsWith(" drift"));
      QCOMPARE(markers[i]->pen().color(), markers[i + 1]->pen().color());
      QVERIFY2(looks(markers[i]) != looks(markers[i + 1]), qPrintable(markers[i]->label()));
    }

    for (QAbstractAxis* axis : window.Chart()->axes(Qt::Vertical)) {
      const auto* values = static_cast<QValueAxis*>(axis);
      const double step = (values->max() - values->min()) / (values->tickCount() - 1);
      const double mantissa = step / std::pow(10.0, std::floor(std::log10(step)));
      const auto near = [mantissa](double round) { return std::abs(mantissa - round) < 1e-9; };
      QVERIFY2(
          near(1) || near(2) || near(2.5) || near(5),
          qPrintable(axis->titleText() + QStringLiteral(" steps by ") + QString::number(step)));
      const double ticks = values->min() / step;
      QVERIFY2(std::abs(ticks - std::round(ticks)) < 1e-9, qPrintable(axis->titleText()));
    }

    int columns = 0;
    for (int c = 0; c < HistoryModel::kColumnCount; ++c) columns += window.Table()->columnWidth(c);
    QCOMPARE_LE(columns, window.Table()->viewport()->width());
    QCOMPARE_LE(window.frameGeometry().width(), window.screen()->availableGeometry().width());

    // Newest first; a click on the header turns the time column around.
    const auto cell = [table](int row, int column) { return table->index(row, column).data(); };
    QCOMPARE(cell(0, HistoryModel::kPort).toString(), "COM4");
    QTest::mouseClick(window.Table()->horizontalHeader()->viewport(), Qt::LeftButton, {},
                      {window.Table()->columnViewportPosition(0) + 5, 5});
    QCOMPARE(cell(0, HistoryModel::kAction).toString() + " " +
                 cell(0, HistoryModel::kOutcome).toString(),
             "connect ok");
    window.Table()->sortByColumn(HistoryModel::kDrift, Qt::AscendingOrder);  // as numbers
    QVERIFY(cell(0, HistoryModel::kDrift).toString().startsWith("-4.3"));

    window.DeviceList()->setCurrentIndex(3);  // the QM8340 with S/N 10001
    const auto series = window.Chart()->series();
    QCOMPARE(series.size(), 2);
    QCOMPARE(static_cast<QLineSeries*>(series[0])->count(), 2496);
    QCOMPARE(series[1]->name(), "QM8340 10001 drift");

    QTemporaryDir dir;
    const QString csv = dir.filePath("h.csv");
    QVERIFY(window.ExportCsv(csv));
    QFile out(csv);
    QVERIFY(out.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = out.readAll().split('\n');
    QCOMPARE(rows.size(), 2497 + 2);  // the header, the rows, and nothing after the last CRLF
    QVERIFY(rows[1].contains(",COM1,QM8340,10001,write,,ok,Device updated successfully.,"));
    QVERIFY(!window.ExportCsv(dir.filePath("missing/h.csv")));

    for (const auto& [widget, name] :
         {std::pair<QWidget*, const char*>{window.Table(), "History entries"},
          {window.DeviceList(), "Device"},
          {window.findChild<QChartView*>(), "Offset and drift plot"},
          {window.findChild<QPushButton*>("cmdExport"), "Export CSV"},
          {window.findChild<QPushButton*>("cmdCloseHistory"), "Close"}}) {
      QCOMPARE(widget->accessibleName(), name);
    }
  }
};

QTEST_MAIN(HistoryWindowTest)
#include "history_window_test.moc"
