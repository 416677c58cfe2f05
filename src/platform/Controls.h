#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace smtpin {

// The controls of a window as plain data. Logic writes them; a view listens
// for changes and renders them.
class Control {
public:
    using Listener = std::function<void()>;

    Control() = default;
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;
    virtual ~Control() = default;

    int subscribe(Listener listener);
    void unsubscribe(int id);

    bool enabled() const { return enabled_; }
    void setEnabled(bool on) { assign(enabled_, on); }
    bool visible() const { return visible_; }
    void setVisible(bool on) { assign(visible_, on); }
    const std::string& toolTip() const { return toolTip_; }
    void setToolTip(std::string t) { assign(toolTip_, std::move(t)); }

protected:
    void changed();
    template <typename T>
    void assign(T& field, T value)
    {
        if (field == value)
            return;
        field = std::move(value);
        changed();
    }

private:
    std::vector<std::pair<int, Listener>> listeners_;
    int nextId_ = 1;
    bool enabled_ = true;
    bool visible_ = true;
    std::string toolTip_;
};

class Label : public Control {
public:
    // A state's colour: good, in between, bad.
    enum class Tone { Plain, Good, Warning, Bad };

    const std::string& caption() const { return caption_; }
    void setCaption(std::string c) { assign(caption_, std::move(c)); }
    Tone tone() const { return tone_; }
    void setTone(Tone t) { assign(tone_, t); }

private:
    std::string caption_;
    Tone tone_ = Tone::Plain;
};

class TextBox : public Control {
public:
    const std::string& text() const { return text_; }
    void setText(std::string t) { assign(text_, std::move(t)); }

private:
    std::string text_;
};

class CheckBox : public Control {
public:
    // 0 unchecked, 1 checked, as the original's Value.
    int value() const { return value_; }
    void setValue(int v) { assign(value_, v); }
    bool checked() const { return value_ == 1; }
    const std::string& caption() const { return caption_; }
    void setCaption(std::string c) { assign(caption_, std::move(c)); }

private:
    int value_ = 0;
    std::string caption_;
};

class MenuItem : public Control {
public:
    const std::string& caption() const { return caption_; }
    void setCaption(std::string c) { assign(caption_, std::move(c)); }
    bool checked() const { return checked_; }
    void setChecked(bool on) { assign(checked_, on); }

private:
    std::string caption_;
    bool checked_ = false;
};

class ListBox : public Control {
public:
    int listCount() const { return static_cast<int>(items_.size()); }
    const std::string& item(int index) const { return items_.at(static_cast<size_t>(index)); }
    const std::deque<std::string>& items() const { return items_; }
    // index -1 appends, as AddItem without an index.
    void addItem(std::string text, int index = -1);
    void removeItem(int index);
    void clear();
    int listIndex() const { return listIndex_; }
    void setListIndex(int index) { assign(listIndex_, index); }
    // Items added at the top so far: how far the lines below have moved.
    std::uint64_t addedAtTop() const { return addedAtTop_; }

private:
    std::deque<std::string> items_;
    int listIndex_ = -1;
    std::uint64_t addedAtTop_ = 0;
};

// A window's own caption, visibility and minimised state.
class Window : public Control {
public:
    const std::string& caption() const { return caption_; }
    void setCaption(std::string c) { assign(caption_, std::move(c)); }
    bool minimised() const { return minimised_; }
    void setMinimised(bool on) { assign(minimised_, on); }

private:
    std::string caption_;
    bool minimised_ = false;
};

// The selected page of a tab control.
class TabStrip : public Control {
public:
    int tab() const { return tab_; }
    void setTab(int index) { assign(tab_, index); }

private:
    int tab_ = 0;
};

// A grid of text cells with per-cell background colours (0xRRGGBB).
class Grid : public Control {
public:
    static constexpr unsigned kWhite = 0xFFFFFF;

    int rows() const { return rows_; }
    int cols() const { return cols_; }
    void resize(int rows, int cols);
    // Out-of-range cells read empty and ignore writes.
    const std::string& textMatrix(int row, int col) const;
    void setTextMatrix(int row, int col, std::string text);
    unsigned cellBackColor(int row, int col) const;
    void setCellBackColor(int row, int col, unsigned rgb);
    int colWidth(int col) const;
    void setColWidth(int col, int twips);
    // Counts cell writes, so a caller can see that nothing was redrawn.
    long writes() const { return writes_; }

private:
    struct Cell {
        std::string text;
        unsigned colour = kWhite;
    };
    Cell* cell(int row, int col);
    const Cell* cell(int row, int col) const;

    int rows_ = 0;
    int cols_ = 0;
    std::vector<Cell> cells_;
    std::vector<int> widths_;
    long writes_ = 0;
};

}  // namespace smtpin
