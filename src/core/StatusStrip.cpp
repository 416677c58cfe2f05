#include "StatusStrip.h"

#include <string>

namespace smtpin::core {
namespace {

using Tone = Label::Tone;
using Link = status::Snapshot::Link;

std::string timeOf(DateSerial t) { return t.isZero() ? std::string("none yet") : t.timeText(); }

void showLink(const status::Snapshot& s, Label& label)
{
    struct Shown {
        const char* word;
        Tone tone;
    };
    const auto shown = [&]() -> Shown {
        switch (s.link) {
        case Link::LoggedIn: return {"logged in", Tone::Good};
        case Link::WithoutOutput: return {"logged in without output", Tone::Warning};
        case Link::Connecting: return {"connecting", Tone::Warning};
        case Link::TakenDown: return {"taken down by the operator", Tone::Bad};
        case Link::Down: break;
        }
        return {"down", Tone::Bad};
    }();
    label.setCaption(std::string("Switch link: ") + shown.word +
                     (s.linkSince.isZero() ? std::string() : " since " + s.linkSince.timeText()));
    label.setTone(shown.tone);
}

}  // namespace

void ShowStatusStrip(const status::Snapshot& s, forms::FrmSMTP& form)
{
    showLink(s, form.lbLinkState);
    std::string waiting = "Pages waiting: " + std::to_string(s.pagesWaiting);
    if (s.pagesWaiting > 0 && s.oldestPageAge >= 0)
        waiting += ", the oldest " + std::to_string(static_cast<long long>(s.oldestPageAge)) + " s old";
    form.lbPagesWaiting.setCaption(waiting);
    const bool tooOld = s.maxPageAge > 0 && s.oldestPageAge > s.maxPageAge;
    form.lbPagesWaiting.setTone(tooOld ? Tone::Bad : s.pagesWaiting > 0 ? Tone::Warning : Tone::Plain);
    form.lbLastSent.setCaption("Last page sent: " + timeOf(s.lastPageSent));
    form.lbLastDelete.setCaption("Last DELETE: " + timeOf(s.lastDelete));
    const std::uint64_t errors = s.databaseErrors + s.linkLosses + s.spoolFailures;
    form.lbErrors.setCaption("Errors since start: " + std::to_string(errors));
    form.lbErrors.setToolTip("catalogue " + std::to_string(s.databaseErrors) + ", link lost " +
                             std::to_string(s.linkLosses) + ", spool " + std::to_string(s.spoolFailures));
    form.lbErrors.setTone(errors > 0 ? Tone::Warning : Tone::Plain);
}

}  // namespace smtpin::core
