// The viewer control and its paging and selection rules: scroll range, keys,
// mouse selection, pop-up entries, painting and the single-image view. List
// rows and unreadable images in the viewer: tst_browser.
#include "acquisition/ViewerPanel.h"
#include "core/Settings.h"
#include "toolkit/ToolkitViewer.h"

#include "support/Widgets.h"

struct KeyCase { // images, the first tile, a key and the first tile after it
    int images, first;
    Qt::Key key;
    int expected;
};
Q_DECLARE_METATYPE(KeyCase)

class ViewerTest : public QObject {
    Q_OBJECT

    TestFolder folder_;
    ToolkitImageList images_; // 30 small images: R CC, L CC, R MLO, L MLO, ...

    struct Rig {
        ViewerPanel panel;
        ToolkitViewer &dicomViewer = *panel.findChild<ToolkitViewer *>(u"dv1"_s);
        QScrollBar &scroll = *panel.findChild<QScrollBar *>(u"dv1_vscroll"_s);
        QMenu &popUp = *panel.findChild<QMenu *>(u"PopUpViewer"_s);
        QMap<int, QString> panels;
        Session session;
        int popUps = 0;
        QStringList clicked; // the session's current image at each change (its list row follows)
        std::unique_ptr<ImageViewer> viewer;
        explicit Rig(bool offerDeletion = false)
        {
            viewer = std::make_unique<ImageViewer>(session, panel);
            viewer->setDeleteOffered(offerDeletion);
            QObject::connect(viewer.get(), &ImageViewer::statusText, [this](int p, const QString &t) { panels[p] = t; });
            QObject::connect(&session, &Session::currentImageChanged, [this] { clicked << session.currentImageUid(); });
            QObject::connect(&popUp, &QMenu::aboutToShow, [this] {
                ++popUps;
                QMetaObject::invokeMethod(&popUp, &QMenu::close, Qt::QueuedConnection);
            });
            viewer->SetUpViewer();
            panel.bind(*viewer);
            panel.placeGrid(QRect(0, 0, 640, 480)); // the size of a new window
        }
    };

    // The session's loaded images; the viewer follows them.
    void fill(Rig &rig, int count)
    {
        rig.session.clearLoadedImages();
        for (int i = 1; i <= count; ++i) {
            const ToolkitImagePtr image = ListItem(images_, i);
            QVERIFY(rig.session.addLoadedImage(ImageUid(image), image));
        }
        rig.viewer->UpdateScrollRange();
        QCOMPARE(rig.dicomViewer.images(), rig.session.loadedImages().items);
    }
    static QPoint centreOfTile(Rig &rig, int position) { return rig.dicomViewer.tileRect(position).center(); }
    static void press(Rig &rig, QPoint at, Qt::MouseButton b = Qt::LeftButton)
    {
        QTest::mousePress(&rig.dicomViewer, b, Qt::NoModifier, at);
        QTest::mouseRelease(&rig.dicomViewer, b, Qt::NoModifier, at);
    }
    static bool rendered(Rig &rig) { return WaitFor([&] { return rig.dicomViewer.viewComplete(); }, 10000); }

private slots:
    void initTestCase()
    {
        // A station that stored a grid of 7 x 3 (a new one has 2 x 2: tst_layout);
        // black, light yellow selection.
        WriteSetting(u"General\\Viewer_Rows"_s, u"7"_s);
        WriteSetting(u"General\\Viewer_Columns"_s, u"3"_s);
        LoadSettings();
        const QList<SyntheticImageSpec> views = FourViews(128, 96);
        for (int i = 0; i < 30; ++i) {
            SyntheticImageSpec spec = views.at(i % 4);
            spec.instanceNumber = i + 1;
            spec.monochrome1 = i % 2 == 1;
            const QString path = folder_.file(u"v%1.dcm"_s.arg(i));
            QVERIFY(WriteImage(spec, path));
            QVERIFY(ReadFileIntoList(images_, path));
        }
    }
    void cleanup()
    {
        LoadSettings();
    }

    // The viewer's rows and columns, the images shown, and the scroll bar's
    // maximum (-1: hidden); at its end the scroll bar shows the last images.
    void scrollRangeFollowsTheImageCount_data()
    {
        QTest::addColumn<QList<int>>("c");
        QTest::newRow("2 x 4, half a row more: one step") << QList<int>{2, 4, 10, 1};
        QTest::newRow("20 on 21 tiles") << QList<int>{7, 3, 20, -1};
        QTest::newRow("21 on 21 tiles") << QList<int>{7, 3, 21, 0};
        QTest::newRow("22 on 21 tiles") << QList<int>{7, 3, 22, 1};
        QTest::newRow("30: (30 - 21) / 3 steps") << QList<int>{7, 3, 30, 3};
    }
    void scrollRangeFollowsTheImageCount()
    {
        QFETCH(QList<int>, c);
        Rig rig;
        Settings.Viewer_Rows = qint16(c[0]);
        Settings.Viewer_Columns = qint16(c[1]);
        rig.viewer->SetUpViewer();
        QCOMPARE(rig.viewer->TilesPerPage(), c[0] * c[1]);
        rig.scroll.show();
        fill(rig, c[2]);
        QCOMPARE(rig.scroll.isHidden() ? -1 : rig.scroll.maximum(), c[3]);
        rig.scroll.setValue(c[3]);
        QCOMPARE(rig.dicomViewer.firstTile(), 1 + std::max(c[3], 0) * c[1]);
    }

    void keysPageAndStep_data()
    {
        QTest::addColumn<KeyCase>("c");
        QTest::newRow("page up from 25") << KeyCase{30, 25, Qt::Key_PageUp, 4};
        QTest::newRow("page up from 22 (22-21 is not above 1)") << KeyCase{30, 22, Qt::Key_PageUp, 1};
        QTest::newRow("page down from 1 of 23") << KeyCase{23, 1, Qt::Key_PageDown, 22};
        QTest::newRow("page down from 1 of 22 stays") << KeyCase{22, 1, Qt::Key_PageDown, 1};
        QTest::newRow("page down from 10 of 30 stays") << KeyCase{30, 10, Qt::Key_PageDown, 10};
        QTest::newRow("other keys do nothing") << KeyCase{30, 5, Qt::Key_End, 5};
        QTest::newRow("left: first page") << KeyCase{30, 7, Qt::Key_Left, 1};
        QTest::newRow("left with one page stays") << KeyCase{21, 3, Qt::Key_Left, 3};
        QTest::newRow("up steps back") << KeyCase{30, 7, Qt::Key_Up, 6};
        QTest::newRow("up at 1 stays") << KeyCase{30, 1, Qt::Key_Up, 1};
        QTest::newRow("right: last page") << KeyCase{30, 1, Qt::Key_Right, 10};
        QTest::newRow("right with one page stays") << KeyCase{20, 1, Qt::Key_Right, 1};
        QTest::newRow("down steps on") << KeyCase{30, 9, Qt::Key_Down, 10};
        QTest::newRow("down at the last page stays") << KeyCase{30, 10, Qt::Key_Down, 10};
    }
    void keysPageAndStep()
    {
        QFETCH(KeyCase, c);
        Rig rig;
        fill(rig, c.images);
        rig.dicomViewer.setFirstTile(c.first);
        QTest::keyClick(&rig.dicomViewer, c.key); // through the widget's key event to the handler
        QCOMPARE(rig.dicomViewer.firstTile(), c.expected);
    }

    void mouseSelectsFramesAndFindsTheListRow()
    {
        Rig rig;
        rig.panel.placeGrid(QRect(0, 0, 600, 700));
        fill(rig, 5);
        press(rig, centreOfTile(rig, 1));
        QCOMPARE(rig.session.currentImageIndex(), 2);
        QCOMPARE(rig.session.currentImage(), rig.dicomViewer.image(2));
        QCOMPARE(rig.dicomViewer.framed(), rig.dicomViewer.image(2));
        QCOMPARE(rig.panels.value(3), u"Sel. image #: 2"_s);
        QCOMPARE(rig.panels.value(5), u"L-CC"_s);
        QCOMPARE(rig.clicked, QStringList{ImageUid(rig.dicomViewer.image(2))}); // its list row is found by UID
        QCOMPARE(rig.popUps, 0);

        // Right button on another image: select, then the menu. The series
        // laterality, when there is one, comes before the image laterality.
        Settings.FilterActive = u"MG"_s;
        QVERIFY(SetAttribute(rig.dicomViewer.image(3), 0x0020, 0x0060, u"l"_s));
        press(rig, centreOfTile(rig, 2), Qt::RightButton);
        QCOMPARE(rig.session.currentImageIndex(), 3);
        QCOMPARE(rig.dicomViewer.framed(), rig.dicomViewer.image(3)); // and image 2 lost its frame
        QCOMPARE(rig.panels.value(5), u"L-MLO"_s);
        QVERIFY(RemoveAttribute(rig.dicomViewer.image(3), 0x0020, 0x0060));
        QCOMPARE(rig.popUps, 1);
        Settings.FilterActive.clear();

        // Right button on the current image: only the menu.
        rig.panels.clear();
        press(rig, centreOfTile(rig, 2), Qt::RightButton);
        QCOMPARE(rig.popUps, 2);
        QVERIFY(rig.panels.isEmpty());
        press(rig, centreOfTile(rig, 2));
        QCOMPARE(rig.popUps, 2);

        // Beside the tiles: an empty tile, and outside the widget.
        QCOMPARE(rig.dicomViewer.hitTest(QPoint(-3, 5)), 0);
        press(rig, centreOfTile(rig, 10), Qt::RightButton);
        QCOMPARE(rig.session.currentImageIndex(), 3);
        QVERIFY(rig.panels.isEmpty());
        QCOMPARE(rig.popUps, 2);

        // Paged: the tile under the pointer counts from the first tile.
        fill(rig, 30);
        rig.dicomViewer.setFirstTile(10);
        QCOMPARE(rig.dicomViewer.hitTest(centreOfTile(rig, 0)), 10);
        QCOMPARE(rig.dicomViewer.hitTest(centreOfTile(rig, 20)), 30);
    }

    void popUpEntriesTurnAndMirrorTheDisplayOnly()
    {
        Rig rig;
        fill(rig, 3);
        const auto trigger = [&](const char *menu, const QString &caption) {
            for (QAction *a : rig.popUp.findChild<QMenu *>(QLatin1String(menu))->actions())
                if (a->text() == caption)
                    return a->trigger();
            QFAIL("no such entry");
        };
        rig.viewer->SelectImage(2);
        trigger("PopUpViewerRotateSub", u"90° rechts"_s);
        QCOMPARE(rig.dicomViewer.image(2)->display().rotation, 1);
        QCOMPARE(rig.dicomViewer.image(1)->display().rotation, 0);
        trigger("PopUpViewerRotateSub", u"90° links"_s);
        trigger("PopUpViewerRotateSub", u"90° links"_s);
        QCOMPARE(rig.dicomViewer.image(2)->display().rotation, 3);
        // On a quarter-turned image the screen's horizontal is the picture's vertical.
        trigger("PopUpViewerMirrorSub", u"horizontal"_s);
        QVERIFY(rig.dicomViewer.image(2)->display().mirrorV && !rig.dicomViewer.image(2)->display().mirrorH);
        trigger("PopUpViewerMirrorAllSub", u"horizontal"_s);
        QVERIFY(rig.dicomViewer.image(1)->display().mirrorH && rig.dicomViewer.image(3)->display().mirrorH);
        trigger("PopUpViewerRotateAllSub", u"90° rechts"_s);
        QCOMPARE(rig.dicomViewer.image(1)->display().rotation, 1);
        QCOMPARE(rig.dicomViewer.image(2)->display().rotation, 0);

        const QString before = ImageUid(rig.dicomViewer.image(2));
        rig.popUp.findChild<QAction *>(u"PopUpViewerReset"_s)->trigger();
        QCOMPARE(rig.dicomViewer.image(2)->display().rotation, 0);
        QVERIFY(!rig.dicomViewer.image(2)->display().mirrorH && !rig.dicomViewer.image(2)->display().mirrorV);
        QCOMPARE(rig.dicomViewer.image(1)->display().rotation, 1);
        QCOMPARE(rig.dicomViewer.framed(), rig.dicomViewer.image(2)); // the selection stays
        rig.popUp.findChild<QAction *>(u"PopUpViewerResetAll"_s)->trigger();
        for (int i = 1; i <= 3; ++i)
            QCOMPARE(rig.dicomViewer.image(i)->display().rotation, 0);
        QCOMPARE(ImageUid(rig.dicomViewer.image(2)), before);
        rig.session.clearCurrentImage();
        QVERIFY(!rig.dicomViewer.framed());
        QCOMPARE(rig.panels.value(3), QString());
        // "Delete image" is there only where deletion is offered, and asks for it.
        QVERIFY(!rig.popUp.findChild<QAction *>(u"PopupDeleteImage"_s));
        Rig offering(true);
        QSignalSpy deletions(offering.viewer.get(), &ImageViewer::deleteImageRequested);
        offering.popUp.findChild<QAction *>(u"PopupDeleteImage"_s)->trigger();
        QCOMPARE(deletions.size(), 1);
    }

    void paintsTilesRightSideUp()
    {
        Settings.Viewer_bgColor = 0x00102030; // 0x00BBGGRR
        Rig rig;
        rig.panel.placeGrid(QRect(0, 0, 300, 700)); // 7 x 3 tiles of 100 x 100
        fill(rig, 4);
        QSignalSpy painted(&rig.dicomViewer, &ToolkitViewer::viewPainted);
        rig.panel.show();
        QVERIFY(WaitFor([&] { return rig.dicomViewer.viewComplete() && !painted.isEmpty(); }, 10000));
        QImage shot = rig.dicomViewer.grab().toImage();
        // Each picture (96 x 128) is fitted into the tile's 96 x 96 inside: 72 x 96, centred.
        for (int pos = 0; pos < 4; ++pos) {
            const QRect tile = rig.dicomViewer.tileRect(pos);
            const QPoint marker = tile.topLeft() + QPoint(2 + 12 + 3, 2 + 3);
            // the air: the bottom corner away from the chest wall (R: left wall, L: right wall)
            const QPoint air = tile.topLeft() + QPoint(pos % 2 == 0 ? 2 + 12 + 68 : 2 + 12 + 3, 2 + 92);
            QVERIFY2(qGray(shot.pixel(marker)) > 200, qPrintable(u"tile %1 marker %2"_s.arg(pos).arg(qGray(shot.pixel(marker)))));
            QVERIFY2(qGray(shot.pixel(air)) < 40, qPrintable(u"tile %1 air"_s.arg(pos)));
        }
        // Turned right, the marker goes to the top right.
        rig.viewer->SelectImage(1);
        rig.viewer->Rotate(true, false);
        QVERIFY(rendered(rig));
        shot = rig.dicomViewer.grab().toImage();
        const QRect t0 = rig.dicomViewer.tileRect(0);
        // rotated picture is 96 x 72, centred vertically: top at 2 + 12
        QVERIFY(qGray(shot.pixel(t0.topLeft() + QPoint(2 + 92, 2 + 12 + 3))) > 200);
        QVERIFY(qGray(shot.pixel(t0.topLeft() + QPoint(2 + 3, 2 + 12 + 68))) < 40); // was the air at the bottom right
        // The selection frame in light yellow (0x00C0FFFF is R FF, G FF, B C0).
        QCOMPARE(shot.pixelColor(t0.topLeft()), QColor(0xFF, 0xFF, 0xC0));
        QCOMPARE(shot.pixelColor(rig.dicomViewer.tileRect(1).topLeft()), QColor(0x30, 0x20, 0x10));
    }

    void doubleClickShowsOneImageWithZoomAndPan()
    {
        Rig rig;
        rig.panel.placeGrid(QRect(0, 0, 600, 700));
        fill(rig, 6);
        rig.panel.show();
        QVERIFY(rendered(rig));
        QTest::mouseDClick(&rig.dicomViewer, Qt::LeftButton, Qt::NoModifier, centreOfTile(rig, 4));
        QVERIFY(rig.dicomViewer.singleView());
        QCOMPARE(rig.dicomViewer.singleIndex(), 5);
        QVERIFY(rendered(rig));
        // 96 x 128 fitted into 600 x 700: 525 x 700, filling the height.
        QRectF r = rig.dicomViewer.singleImageRect();
        QCOMPARE(r.height(), 700.0);
        QCOMPARE(qRound(r.width()), 525);
        QImage shot = rig.dicomViewer.grab().toImage();
        QVERIFY(qGray(shot.pixel(int(r.left()) + 20, 20)) > 200); // the marker, big
        QCOMPARE(rig.dicomViewer.hitTest(QPoint(5, 5)), 5);

        QWheelEvent wheel(QPointF(300, 350), rig.dicomViewer.mapToGlobal(QPointF(300, 350)), QPoint(), QPoint(0, 240),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(&rig.dicomViewer, &wheel);
        QCOMPARE(rig.dicomViewer.zoom(), 1.5625);
        r = rig.dicomViewer.singleImageRect();
        QCOMPARE(r.center(), QPointF(300, 350)); // zoomed about the pointer at the centre
        QTest::mousePress(&rig.dicomViewer, Qt::LeftButton, Qt::NoModifier, QPoint(300, 350));
        QMouseEvent move(QEvent::MouseMove, QPointF(340, 330), rig.dicomViewer.mapToGlobal(QPointF(340, 330)), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&rig.dicomViewer, &move);
        QTest::mouseRelease(&rig.dicomViewer, Qt::LeftButton, Qt::NoModifier, QPoint(340, 330));
        QCOMPARE(rig.dicomViewer.pan(), QPointF(40, -20));

        QTest::mouseDClick(&rig.dicomViewer, Qt::LeftButton, Qt::NoModifier, QPoint(300, 300));
        QVERIFY(!rig.dicomViewer.singleView());
        QCOMPARE(rig.dicomViewer.hitTest(centreOfTile(rig, 4)), 5);
    }
};

QTEST_MAIN(ViewerTest)
#include "tst_viewer.moc"
