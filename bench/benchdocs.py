"""Pieces of the benchmark documents that only the benchmarks use."""

# A blue rule and an orange block, the graphics of a plain report page.
REPORT_SHAPES = (b"0.2 0.4 0.8 rg 72 40 451 6 re f\n"
                 b"0.9 0.5 0.1 rg 380 560 140 120 re f\n")


def running_text(sentence, page_index, count, width):
    """A page heading and count lines of width words cut from sentence,
    shifted per line and per page, so pages read like text without repeating."""
    words = sentence.split()
    doubled = words * 2
    lines = [f"Page {page_index + 1}"]
    for n in range(count):
        start = (n * 5 + page_index * 3) % len(words)
        lines.append(" ".join(doubled[start:start + width]))
    return lines
