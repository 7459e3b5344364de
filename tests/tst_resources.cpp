// Tests of the compiled-in resource bundle: its path, its storage and the bitmap it holds; on
// Windows also the executable's own resources: icon, version information and manifest.
#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QResource>
#include <QtEndian>
#include <QtTest>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

const QString iconPath = QStringLiteral(":/images/images/Icon1.bmp");
const int fileSize = 4150;

quint16 word(const QByteArray &data, int offset)
{
    return qFromLittleEndian<quint16>(data.constData() + offset);
}

quint32 dword(const QByteArray &data, int offset)
{
    return qFromLittleEndian<quint32>(data.constData() + offset);
}

qint32 signedDword(const QByteArray &data, int offset)
{
    return qFromLittleEndian<qint32>(data.constData() + offset);
}

QByteArray iconBytes()
{
    return QResource(iconPath).uncompressedData();
}

// A pixel as stored: blue, green, red, alpha; y counts from the top of the picture.
struct pixel
{
    int blue, green, red, alpha;
};

pixel pixelAt(const QByteArray &data, int x, int y)
{
    const int offset = 54 + ((31 - y) * 32 + x) * 4; // rows are stored bottom-up
    const auto *p = reinterpret_cast<const uchar *>(data.constData() + offset);
    return { p[0], p[1], p[2], p[3] };
}

bool isWhite(const pixel &p)
{
    return p.red == 255 && p.green == 255 && p.blue == 255;
}

bool isRed(const pixel &p)
{
    return p.red >= 160 && p.green <= 80 && p.blue <= 80;
}

bool isNearBlack(const pixel &p)
{
    return p.red <= 48 && p.green <= 48 && p.blue <= 48;
}

} // namespace

class tst_resources : public QObject
{
    Q_OBJECT

private slots:
    void registered();
    void storage();
    void bitmapHeaders();
    void picture();
#ifdef Q_OS_WIN
    void windowsExecutable_data();
    void windowsExecutable();
#endif
};

void tst_resources::registered()
{
    const QResource resource(iconPath);
    QVERIFY(resource.isValid());
    QVERIFY(QFileInfo(iconPath).isFile());
    QCOMPARE(resource.absoluteFilePath(), iconPath);
    QVERIFY(QFileInfo::exists(iconPath));
    QCOMPARE(QFileInfo(iconPath).size(), qint64(fileSize));

    // One file, two folders deep, and nothing beside it.
    QCOMPARE(QDir(QStringLiteral(":/images")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{ QStringLiteral("images") });
    QCOMPARE(QDir(QStringLiteral(":/images/images")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList{ QStringLiteral("Icon1.bmp") });

    // No language qualifier: the same entry answers under any locale.
    const QResource russian(iconPath, QLocale(QLocale::Russian, QLocale::Russia));
    QVERIFY(russian.isValid());
    QCOMPARE(russian.data(), resource.data());
}

void tst_resources::storage()
{
    const QResource resource(iconPath);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::ZlibCompression);
    QCOMPARE(resource.uncompressedSize(), qint64(fileSize));

    // Stored as the length in four big-endian bytes followed by the zlib stream.
    const QByteArray stored(reinterpret_cast<const char *>(resource.data()), int(resource.size()));
    QVERIFY(stored.size() > 4);
    QVERIFY(stored.size() < fileSize);
    QCOMPARE(qFromBigEndian<quint32>(stored.constData()), quint32(fileSize));
    QCOMPARE(quint8(stored.at(4)) & 0x0f, 8); // zlib header: deflate
    QCOMPARE(qUncompress(stored), resource.uncompressedData());

    // Resource format 1 records no modification time; formats 2 and 3 store the file's.
    const QDateTime modified = resource.lastModified();
    QVERIFY2(!modified.isValid() || modified.toMSecsSinceEpoch() == 0,
             qPrintable(modified.toString(Qt::ISODate)));
}

void tst_resources::bitmapHeaders()
{
    const QByteArray data = iconBytes();
    QCOMPARE(data.size(), fileSize);

    // File header.
    QCOMPARE(data.left(2), QByteArray("BM"));
    QCOMPARE(dword(data, 2), quint32(fileSize));
    QCOMPARE(word(data, 6), quint16(0));
    QCOMPARE(word(data, 8), quint16(0));
    QCOMPARE(dword(data, 10), quint32(54));

    // Information header.
    QCOMPARE(dword(data, 14), quint32(40));
    QCOMPARE(signedDword(data, 18), 32);
    QCOMPARE(signedDword(data, 22), 32); // positive: bottom-up rows
    QCOMPARE(word(data, 26), quint16(1));
    QCOMPARE(word(data, 28), quint16(32));
    QCOMPARE(dword(data, 30), quint32(0)); // BI_RGB, uncompressed
    QCOMPARE(dword(data, 34), quint32(4096));
    QCOMPARE(signedDword(data, 38), 3780);
    QCOMPARE(signedDword(data, 42), 3780);
    QCOMPARE(dword(data, 46), quint32(0));
    QCOMPARE(dword(data, 50), quint32(0));

    // A bitmap reader takes it as it is.
    const QImage image = QImage::fromData(data, "BMP");
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), QSize(32, 32));
}

void tst_resources::picture()
{
    const QByteArray data = iconBytes();
    QCOMPARE(data.size(), fileSize);

    int red = 0;
    int dark = 0;
    int white = 0;
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
            const pixel p = pixelAt(data, x, y);
            QVERIFY2(p.alpha == 255, qPrintable(QString("%1,%2").arg(x).arg(y)));
            red += isRed(p);
            dark += isNearBlack(p);
            white += isWhite(p);
        }
    }
    // White background, and both tile colours in good measure.
    QVERIFY(white > 32 * 32 / 8);
    QVERIFY(red > 32);
    QVERIFY(dark > 32);

    QVERIFY(isWhite(pixelAt(data, 0, 0)));
    QVERIFY(isWhite(pixelAt(data, 31, 0)));
    QVERIFY(isWhite(pixelAt(data, 0, 31)));
    QVERIFY(isWhite(pixelAt(data, 31, 31)));

    // The top right cell of the three-by-three grid is empty and the top left one is not; read
    // top-down, the rows would put the empty cell at the bottom.
    for (int y = 3; y < 9; ++y) {
        for (int x = 24; x < 29; ++x)
            QVERIFY2(isWhite(pixelAt(data, x, y)), qPrintable(QString("%1,%2").arg(x).arg(y)));
    }
    QVERIFY(!isWhite(pixelAt(data, 6, 6)));
    QVERIFY(isRed(pixelAt(data, 6, 6)) || isNearBlack(pixelAt(data, 6, 6)));
}

#ifdef Q_OS_WIN
void tst_resources::windowsExecutable_data()
{
    // What is read from the built transport-settings.exe, and what it must say.
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("expected");

    QTest::newRow("product") << "ProductName" << "transport-settings";
    QTest::newRow("description") << "FileDescription" << TRANSPORT_SETTINGS_DESCRIPTION;
    QTest::newRow("file version") << "FileVersion" << TRANSPORT_SETTINGS_VERSION;
    QTest::newRow("product version") << "ProductVersion" << TRANSPORT_SETTINGS_VERSION;
    QTest::newRow("maker") << "CompanyName" << TRANSPORT_SETTINGS_MAINTAINER;
    QString numbers = QStringLiteral(TRANSPORT_SETTINGS_VERSION);
    while (numbers.count(QLatin1Char('.')) < 3)
        numbers += QLatin1String(".0");
    QTest::newRow("version as numbers") << "fixed" << numbers;
    // Every size that Windows shows, from 16 (lists) to 256 (large icons).
    QTest::newRow("icon sizes") << "icon" << "16 20 24 32 40 48 64 256";
    QTest::newRow("one manifest") << "manifests" << "1";
    QTest::newRow("as invoker") << R"(manifest:level="asInvoker")" << "yes";
    QTest::newRow("Windows 10 and 11") << "manifest:{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}" << "yes";
    QTest::newRow("per-monitor DPI, as Qt sets it") << "manifest:>PerMonitorV2<" << "yes";
    QTest::newRow("long paths") << "manifest:<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">true<"
                                << "yes";
}

void tst_resources::windowsExecutable()
{
    QFETCH(QString, what);
    QFETCH(QString, expected);

    const std::wstring exe = QDir::toNativeSeparators(QCoreApplication::applicationDirPath()
                                                      + QLatin1String("/../../bin/transport-settings.exe"))
                                 .toStdWString();
    QString actual;
    if (what.startsWith(QLatin1Char('m')) || what == QLatin1String("icon")) {
        const HMODULE module = ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        QVERIFY(module);
        if (what == QLatin1String("manifests")) {
            int count = 0;
            ::EnumResourceNamesW(module, RT_MANIFEST, [](HMODULE, LPCWSTR, LPWSTR, LONG_PTR counter) -> BOOL {
                ++*reinterpret_cast<int *>(counter);
                return TRUE;
            }, reinterpret_cast<LONG_PTR>(&count));
            actual = QString::number(count);
        } else {
            // The first icon group, or the manifest that the loader reads (resource 1).
            const bool icon = what == QLatin1String("icon");
            LPCWSTR name = MAKEINTRESOURCEW(1);
            HRSRC found = ::FindResourceW(module, name, icon ? RT_GROUP_ICON : RT_MANIFEST);
            const HGLOBAL loaded = found ? ::LoadResource(module, found) : nullptr;
            const QByteArray data = loaded ? QByteArray(static_cast<const char *>(::LockResource(loaded)),
                                                        int(::SizeofResource(module, found)))
                                           : QByteArray();
            if (icon) {
                // GRPICONDIR: reserved, type, count; then 14-byte entries, the width first (0: 256).
                QStringList sizes;
                for (int i = 0; data.size() >= 6 && i < word(data, 4) && 6 + i * 14 < data.size(); ++i) {
                    const int width = uchar(data[6 + i * 14]);
                    sizes << QString::number(width ? width : 256);
                }
                actual = sizes.join(QLatin1Char(' '));
            } else {
                actual = data.contains(what.mid(9).toUtf8()) ? QStringLiteral("yes") : QString::fromUtf8(data);
            }
        }
        ::FreeLibrary(module);
    } else {
        DWORD ignored = 0;
        const DWORD size = ::GetFileVersionInfoSizeW(exe.c_str(), &ignored);
        QVERIFY(size > 0);
        QByteArray info(int(size), '\0');
        QVERIFY(::GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));
        void *value = nullptr;
        UINT length = 0;
        if (what == QLatin1String("fixed")) {
            QVERIFY(::VerQueryValueW(info.data(), L"\\", &value, &length));
            const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(value);
            actual = QStringLiteral("%1.%2.%3.%4")
                         .arg(HIWORD(fixed->dwFileVersionMS)).arg(LOWORD(fixed->dwFileVersionMS))
                         .arg(HIWORD(fixed->dwFileVersionLS)).arg(LOWORD(fixed->dwFileVersionLS));
        } else {
            const std::wstring key = L"\\StringFileInfo\\040904b0\\" + what.toStdWString();
            QVERIFY(::VerQueryValueW(info.data(), key.c_str(), &value, &length));
            actual = QString::fromWCharArray(static_cast<const wchar_t *>(value)).left(int(length)).remove(QChar(0));
        }
    }
    QCOMPARE(actual, expected);
}
#endif

QTEST_MAIN(tst_resources)
#include "tst_resources.moc"
