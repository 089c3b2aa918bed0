#pragma once

// The rules a run can apply; each has its entry in the rule table.
enum class Rule
{
    WithText,
    WithoutText,
    Between,
    Match, // every match of a pattern in every line (the command line's)
    Select // every element matching a CSS selector, the page read as a document
};
