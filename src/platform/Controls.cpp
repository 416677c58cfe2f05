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
    if (index == 0)
        ++addedAtTop_;
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

void Grid::resize(int rows, int cols)
{
    rows_ = std::max(0, rows);
    cols_ = std::max(0, cols);
    cells_.assign(static_cast<size_t>(rows_ * cols_), Cell{});
    widths_.assign(static_cast<size_t>(cols_), 0);
    changed();
}

Grid::Cell* Grid::cell(int row, int col)
{
    if (row < 0 || col < 0 || row >= rows_ || col >= cols_)
        return nullptr;
    return &cells_[static_cast<size_t>(row * cols_ + col)];
}

const Grid::Cell* Grid::cell(int row, int col) const
{
    return const_cast<Grid*>(this)->cell(row, col);
}

const std::string& Grid::textMatrix(int row, int col) const
{
    static const std::string empty;
    const Cell* c = cell(row, col);
    return c ? c->text : empty;
}

void Grid::setTextMatrix(int row, int col, std::string text)
{
    if (Cell* c = cell(row, col)) {
        c->text = std::move(text);
        ++writes_;
        changed();
    }
}

unsigned Grid::cellBackColor(int row, int col) const
{
    const Cell* c = cell(row, col);
    return c ? c->colour : kWhite;
}

void Grid::setCellBackColor(int row, int col, unsigned rgb)
{
    if (Cell* c = cell(row, col)) {
        c->colour = rgb;
        ++writes_;
        changed();
    }
}

int Grid::colWidth(int col) const
{
    return col >= 0 && col < cols_ ? widths_[static_cast<size_t>(col)] : 0;
}

void Grid::setColWidth(int col, int twips)
{
    if (col >= 0 && col < cols_) {
        widths_[static_cast<size_t>(col)] = twips;
        changed();
    }
}

}  // namespace smtpin
