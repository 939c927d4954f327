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

// A hicolor theme under `icons` holding one `side`-pixel application icon of one colour.
void installThemeIcon(const std::filesystem::path& icons, const std::string& name, int side, Qt::GlobalColor colour) {
    const auto folder = std::to_string(side) + "x" + std::to_string(side) + "/apps";
    std::filesystem::create_directories(icons / "hicolor" / folder);
    std::ofstream(icons / "hicolor/index.theme") << "[Icon Theme]\nName=Hicolor\nDirectories=" << folder << "\n\n["
                                                 << folder << "]\nSize=" << side << "\nType=Fixed\n";
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(colour);
    ASSERT_TRUE(image.save(QString::fromStdString((icons / "hicolor" / folder / (name + ".png")).string())));
}

// The offscreen platform, as the host runs on, names no icon theme: the renderer still finds what
// applications install in the data folders. Runs before any test sets a theme of its own.
TEST(QtIconRendererTest, FindsInstalledThemeIconsWithoutADesktopTheme) {
    testing::TempDir data("data");
    ASSERT_NO_FATAL_FAILURE(installThemeIcon(data / "icons", "orvanta-installed", 48, Qt::blue));
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
    ASSERT_NO_FATAL_FAILURE(installThemeIcon(dir / "theme", "orvanta-test", 64, Qt::green));
    QImage green(64, 64, QImage::Format_ARGB32);
    green.fill(Qt::green);
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
