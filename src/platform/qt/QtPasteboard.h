// The system clipboard (QClipboard, Clipboard mode) as clipboard sync's pasteboard. Qt gives no
// change count, so we keep one: it moves once per change signal, and our own writes are counted
// when they are made (their own change signal is not counted again), so two hubs on one machine
// never mistake each other's writes for new content. Main thread only.
#pragma once

#include <QObject>
#include <cstdint>

#include "platform/SyncPasteboard.h"
#include "platform/qt/QtImageCodec.h"

namespace orvanta::platform::qt {

class QtPasteboard final : public SyncPasteboard {
public:
    QtPasteboard();
    ~QtPasteboard() override;

    std::int64_t changeCount() const override { return changeCount_; }
    PasteboardContent content() override;
    bool writeText(const std::string& text) override;
    bool writePng(const base::Bytes& png) override;
    std::vector<std::string> typeNames() const override;

private:
    template <class Write>
    bool write(Write&& write);

    QtImageCodec images_;
    std::int64_t changeCount_ = 0;
    bool writing_ = false;
    QMetaObject::Connection connection_;
};

}  // namespace orvanta::platform::qt
