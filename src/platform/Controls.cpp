#include "Controls.h"

#include <algorithm>

namespace smtpin {

int Control::subscribe(Listener listener)
{
    const int id = nextId_++;
    listeners_.emplace_back(id, std::move(listener));
    return id;
}

void Control::unsubscribe(int id)
{
    std::erase_if(listeners_, [id](const auto& l) { return l.first == id; });
}

void Control::changed()
{
    for (const auto& [id, listener] : listeners_)
        listener();
}

void ListBox::addItem(std::string text, int index)
{
    if (index < 0 || index >= listCount())
        items_.push_back(std::move(text));
    else
        items_.insert(items_.begin() + index, std::move(text));
    changed();
}

void ListBox::removeItem(int index)
{
    if (index < 0 || index >= listCount())
        return;
    items_.erase(items_.begin() + index);
    if (listIndex_ >= listCount())
        listIndex_ = listCount() - 1;
    changed();
}

void ListBox::clear()
{
    items_.clear();
    listIndex_ = -1;
    changed();
}

}  // namespace smtpin
