// A screen below 1024 x 768 ends the program with its message, before any window.
#include "app/StartupFlow.h"
#include "support/Station.h"
#include "support/Widgets.h"

#include <QApplication>
#include <QtTest>

class SmallScreenTest : public QObject {
    Q_OBJECT

private slots:
    void refusesToStart()
    {
        TestFolder f;
        RecordingPrompter prompter;
        SetPrompter(&prompter);
        StartupFlow flow;
        QVERIFY(!flow.start());
        SetPrompter(nullptr);
        QVERIFY(flow.ended());
        QVERIFY(!flow.splash() || !flow.splash()->isVisible());
        QCOMPARE(prompter.boxes.size(), 1);
        QCOMPARE(prompter.boxes[0].text,
                 QStringLiteral("ATTENTION!\nA screen resolution of 1024x768 pixel is required for this application!"));
        QTest::qWait(700);
        QVERIFY(flow.optionForm() == nullptr);
    }
};

int main(int argc, char **argv)
{
    UseOffscreenScreen(1024, 700);
    QApplication app(argc, argv);
    SmallScreenTest t;
    return QTest::qExec(&t, argc, argv);
}
#include "tst_smallscreen.moc"
