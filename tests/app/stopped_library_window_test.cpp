// The window over the helper process: a library that crashes, exits or hangs costs one box and
// one log line, and the window goes on working, the next download included.
#include <QProgressBar>
#include <QTest>

#include <filesystem>
#include <memory>

#include "programmer/ProcessProgrammer.h"
#include "programmer/TestLibraries.h"
#include "support/HexText.h"
// GCC 12 at -O2 takes the moved-from optional<QString> of the scripted open dialog for
// uninitialised in this file alone.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "support/WindowFixture.h"
#pragma GCC diagnostic pop

namespace {

namespace fs = std::filesystem;
namespace testlib = kw::testlib;

class StoppedLibrary : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        // One window throughout; each transfer's helper looks in the folder set now.
        makeWindow([this]() -> std::unique_ptr<kw::Programmer> {
            kw::HelperSettings settings;
            settings.helper = KW_HELPER;
            settings.libraryFolder = libraryFolder;
            // Long enough for a loaded machine to start a helper, short for a test.
            settings.callLimit = std::chrono::milliseconds(2000);
            return std::make_unique<kw::ProcessProgrammer>(settings);
        });
    }
    void loadImage() {
        openThrough(window->OpenHex, writeFile(QStringLiteral("image.hex"),
                                               QByteArray::fromStdString(hexImage(8192))));
        ASSERT_TRUE(window->DownLoadBtn->isEnabled());
    }
    QStringList linesSince(qsizetype count) const { return logLines().mid(count); }

    fs::path libraryFolder;
};

TEST_F(StoppedLibrary, OneBoxAndOneLineThenTheWindowAndTheNextDownloadWork) {
    struct Case {
        fs::path folder;
        QString text;
    };
    const Case cases[] = {
        {testlib::segfaultDir(),
         QStringLiteral("TOLVANEX.dll已停止运行：信号 11 (Segmentation fault)")},
        {testlib::exit3Dir(), QStringLiteral("TOLVANEX.dll已停止运行：退出码 3")},
        {testlib::hangDir(), QStringLiteral("TOLVANEX.dll已停止运行：超过 2 秒没有响应")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder.string());
        prompts->messages.clear();
        libraryFolder = c.folder;
        loadImage();
        const qsizetype logged = logLines().size();
        window->DownLoadBtn->click();

        EXPECT_EQ(prompts->messages, QStringList{c.text});
        const QStringList lines = linesSince(logged);
        ASSERT_EQ(lines.size(), 2) << lines.join(QLatin1Char('|')).toStdString();
        EXPECT_TRUE(lines[0].endsWith(QStringLiteral("正在下载芯片数据......")));
        EXPECT_EQ(lines[1], c.text);
        EXPECT_EQ(window->ProgressBar1->value(), 2) << "three blocks went through";

        // Still a working window: a load, then a download through a good library.
        openThrough(window->OpenHex, writeFile(QStringLiteral("other.hex"),
                                               QByteArray::fromStdString(
                                                   hexRecord(0, {0x11, 0x22}) + hexEndOfFile())));
        EXPECT_TRUE(prompts->errors.isEmpty());
        EXPECT_EQ(*window->FlashBuf->read(1), 0x22);
        testlib::RecordingSession session;
        libraryFolder = testlib::recordingDir();
        prompts->messages.clear();
        const qsizetype good = logLines().size();
        window->DownLoadBtn->click();
        EXPECT_TRUE(prompts->messages.isEmpty());
        EXPECT_EQ(linesSince(good).size(), 2);
        EXPECT_TRUE(linesSince(good).value(1).endsWith(QStringLiteral("下载芯片数据完成。")));
        EXPECT_EQ(session.log().calls.size(), 64u);
    }
}

// A read-back that stops leaves the image the user had.
TEST_F(StoppedLibrary, AStoppedReadBackKeepsTheImage) {
    loadImage();
    const std::vector<std::uint8_t> before(window->FlashBuf->bytes().begin(),
                                           window->FlashBuf->bytes().end());
    libraryFolder = testlib::segfaultDir();
    window->runHandler([this] { window->ReadBtnClick(); });
    EXPECT_EQ(prompts->messages,
              QStringList{QStringLiteral("TOLVANEX.dll已停止运行：信号 11 (Segmentation fault)")});
    EXPECT_EQ(std::vector<std::uint8_t>(window->FlashBuf->bytes().begin(),
                                        window->FlashBuf->bytes().end()),
              before);
}

} // namespace
