#include "platform/qt/QtIconRenderer.h"

#include <gtest/gtest.h>

#include <QIcon>
#include <QImage>

#include "support/QtGuiApp.h"
#include "support/TempDir.h"

namespace orvanta::platform::qt {
namespace {

QImage decoded(const std::optional<base::Bytes>& png) {
    EXPECT_TRUE(png);
    if (!png) return {};
    EXPECT_TRUE(png->size() > 8 && (*png)[1] == 'P' && (*png)[2] == 'N' && (*png)[3] == 'G');
    return QImage::fromData(png->data(), static_cast<int>(png->size()), "PNG");
}

TEST(QtIconRendererTest, ScalesWindowPixelsIntoTheWholeSquare) {
    testing::qtGuiApp();
    QtIconRenderer renderer;
    IconImage wide{4, 2, std::vector<std::uint32_t>(8, 0xff0000ff)};
    wide.argb[0] = 0x00000000;  // one transparent corner pixel
    auto image = decoded(renderer.renderPNG(wide, 48));
    ASSERT_EQ(image.size(), QSize(48, 48));
    EXPECT_EQ(image.pixelColor(40, 40), QColor(0, 0, 255));
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
    EXPECT_FALSE(renderer.renderPNG(IconImage{4, 4, {1, 2, 3}}, 48));  // fewer pixels than claimed
    EXPECT_FALSE(renderer.renderPNG(wide, 0));
    EXPECT_FALSE(renderer.renderPNG(wide, QtIconRenderer::kMaxPixels + 1));
}

// The offscreen platform, as the host runs on, names no icon theme: the renderer still finds what
// applications install in the data folders. Runs before any test sets a theme of its own.
TEST(QtIconRendererTest, FindsInstalledThemeIconsWithoutADesktopTheme) {
    testing::TempDir data("data");
    const auto theme = data / "icons/hicolor";
    std::filesystem::create_directories(theme / "48x48/apps");
    std::ofstream(theme / "index.theme") << "[Icon Theme]\nName=Hicolor\nDirectories=48x48/apps\n\n"
                                            "[48x48/apps]\nSize=48\nType=Threshold\n";
    QImage blue(48, 48, QImage::Format_ARGB32);
    blue.fill(Qt::blue);
    ASSERT_TRUE(blue.save(QString::fromStdString((theme / "48x48/apps/orvanta-installed.png").string())));
    ::setenv("XDG_DATA_DIRS", data.path().c_str(), 1);
    testing::qtGuiApp();
    ASSERT_TRUE(QIcon::themeName().isEmpty());

    QtIconRenderer renderer;
    auto image = decoded(renderer.renderPNG(std::string("orvanta-installed"), 48));
    EXPECT_EQ(image.size(), QSize(48, 48));
    EXPECT_EQ(image.pixelColor(24, 24), QColor(Qt::blue));
}

TEST(QtIconRendererTest, DrawsThemeIconsAndImageFiles) {
    testing::qtGuiApp();
    testing::TempDir dir("icons");
    const auto theme = dir / "theme/hicolor";
    std::filesystem::create_directories(theme / "64x64/apps");
    std::ofstream(theme / "index.theme") << "[Icon Theme]\nName=hicolor\nDirectories=64x64/apps\n\n"
                                            "[64x64/apps]\nSize=64\nType=Fixed\n";
    QImage green(64, 64, QImage::Format_ARGB32);
    green.fill(Qt::green);
    ASSERT_TRUE(green.save(QString::fromStdString((theme / "64x64/apps/orvanta-test.png").string())));
    ASSERT_TRUE(green.save(QString::fromStdString((dir / "file.png").string())));
    std::ofstream(dir / "broken.png") << "not a picture";
    QIcon::setThemeSearchPaths({QString::fromStdString((dir / "theme").string())});
    QIcon::setThemeName("hicolor");

    QtIconRenderer renderer;
    for (const std::string& source : {std::string("orvanta-test"), (dir / "file.png").string()}) {
        auto image = decoded(renderer.renderPNG(source, 32));
        EXPECT_EQ(image.size(), QSize(32, 32)) << source;
        EXPECT_EQ(image.pixelColor(16, 16), QColor(Qt::green)) << source;
    }
    for (const std::string& missing :
         {std::string("orvanta-absent"), (dir / "broken.png").string(), (dir / "absent.png").string(), std::string()}) {
        EXPECT_FALSE(renderer.renderPNG(missing, 32)) << missing;
    }
}

}  // namespace
}  // namespace orvanta::platform::qt
