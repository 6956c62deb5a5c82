// The header view: attribute values as display text, the rows of the active
// filter for the current image, sorting, and the task entry a click prepares.
#include "core/WorkstationState.h"
#include "header/HeaderView.h"
#include "support/Station.h"
#include "support/Widgets.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QTreeWidget>

class HeaderViewTest : public QObject {
    Q_OBJECT

    TestFolder folder_;
    ToolkitImagePtr image_;

    QStringList rows(const QTreeWidget &list) const
    {
        QStringList out;
        for (int i = 0; i < list.topLevelItemCount(); ++i) {
            const QTreeWidgetItem *r = list.topLevelItem(i);
            out << r->text(1) + QLatin1Char('=') + r->text(0);
        }
        return out;
    }

private slots:
    void initTestCase()
    {
        SyntheticImageSpec spec;
        spec.laterality = QStringLiteral("R");
        spec.extra = {{QStringLiteral("0008,0008"), QStringLiteral("ORIGINAL\\ORIGINAL\\MAMMO")},
                      {QStringLiteral("0018,1164"), QStringLiteral("0.085\\\\0.085")},
                      {QStringLiteral("0028,1050"), QStringLiteral("2048")}};
        const QString path = folder_.file(QStringLiteral("h.dcm"));
        WriteImage(spec, path);
        ToolkitImageList list;
        QVERIFY(ReadFileIntoList(list, path));
        image_ = ListItem(list, 1);
    }

    void values_data()
    {
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("element");
        QTest::addColumn<QString>("text");
        QTest::newRow("absent: empty, no error") << "0018" << "1150" << "";
        QTest::newRow("single value") << "0028" << "1050" << "2048";
        QTest::newRow("two values joined") << "0020" << "0020" << "P | L";
        QTest::newRow("a repeated value ends the list") << "0008" << "0008" << "ORIGINAL";
        QTest::newRow("an empty value ends the list") << "0018" << "1164" << "0.085";
        QTest::newRow("lower-case hexadecimal") << "0020" << "000d" << GetAttribute(image_, 0x0020, 0x000D).value;
        QTest::newRow("not hexadecimal: empty") << "00zz" << "0010" << "";
    }
    void values()
    {
        QFETCH(QString, group);
        QFETCH(QString, element);
        QFETCH(QString, text);
        QCOMPARE(GetHeaderElement(group, element, image_), text);
    }

    void rowsSortingAndTaskEntry()
    {
        QWidget window;
        HeaderControls c{new QTreeWidget(&window), new QLineEdit(&window), new QLineEdit(&window), new QComboBox(&window), {}, {}};
        c.lvHeader->setHeaderLabels({QStringLiteral("Value"), QStringLiteral("DICOM Tag"), QStringLiteral("DICOM Description")});
        c.cboTask->addItems({QStringLiteral("Change entry"), QStringLiteral("Move entry"), QStringLiteral("Switch entry")});
        int taskKindRuns = 0;
        c.currentImage = [this] { return image_; };
        c.cboTask_Click = [&] { ++taskKindRuns; };
        HeaderView view(c);
        QCOMPARE(c.lvHeader->header()->visualIndex(0), 2); // "Value" shown last
        ActiveFilterTags = {{QStringLiteral("0028,1050"), QStringLiteral("Window Center")},
                            {QStringLiteral("0018,1150"), QStringLiteral("Exposure Time")},
                            {QStringLiteral("0020,000E"), QStringLiteral("Series Instance UID")}};
        view.LoadHeaderData();
        const QString series = GetAttribute(image_, 0x0020, 0x000E).value;
        QCOMPARE(rows(*c.lvHeader), (QStringList{"0018,1150=", "0020,000E=" + series, "0028,1050=2048"}));
        view.lvHeader_ColumnClick(1); // sorted by the tag already: reversed
        QCOMPARE(rows(*c.lvHeader).first(), QStringLiteral("0028,1050=2048"));
        view.lvHeader_ColumnClick(2); // another column: by it, the order kept
        QCOMPARE(c.lvHeader->topLevelItem(0)->text(2), QStringLiteral("Window Center"));
        view.LoadHeaderData(); // a refill sorts by the tag again
        QCOMPARE(rows(*c.lvHeader).first(), QStringLiteral("0028,1050=2048"));

        // A UID is never typed: "New UID", the kind fixed to "Change entry".
        c.cboTask->setCurrentIndex(1);
        view.lvHeader_ItemClick(c.lvHeader->findItems(QStringLiteral("0020,000E"), Qt::MatchExactly, 1).value(0));
        QCOMPARE(c.txtSelected->text(), QStringLiteral("0020,000E - Series Instance UID"));
        QCOMPARE(c.txtNeu->text(), QStringLiteral("New UID"));
        QVERIFY(!c.txtNeu->isEnabled() && !c.cboTask->isEnabled());
        QCOMPARE(c.cboTask->currentText(), QStringLiteral("Change entry"));
        QCOMPARE(taskKindRuns, 0);
        c.cboTask->setCurrentIndex(2);
        view.lvHeader_ItemClick(c.lvHeader->findItems(QStringLiteral("0028,1050"), Qt::MatchExactly, 1).value(0));
        QCOMPARE(c.txtNeu->text(), QStringLiteral("2048"));
        QVERIFY(c.txtNeu->isEnabled() && c.cboTask->isEnabled());
        QCOMPARE(taskKindRuns, 1);
    }
};

LUMORA_WIDGETS_TEST_MAIN(HeaderViewTest, 1280, 1024)
#include "tst_headerview.moc"
