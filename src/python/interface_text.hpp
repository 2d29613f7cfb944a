// The strings that the interface of _brindle_search pins: docstrings, messages, representation
// templates and names. Callers, tests and the type stub depend on them letter for letter: they must
// not be reworded, re-wrapped or "fixed", only moved. Strings that are not part of the interface
// (the texts of internal faults, the refusals of objects the module did not build) live with their
// code.
#pragma once

namespace brindle::py::pinned {

// ---- Docstrings: the text signature, "\n--\n\n", then the text Python shows ----

inline constexpr const char kFuzzyMatchDoc[] =
    "fuzzy_match(pattern, instring, adj_bonus=5, sep_bonus=10, camel_bonus=10, lead_penalty=..., "
    "max_lead_penalty=..., unmatched_penalty=...)\n--\n\n";

inline constexpr const char kGetBestMatchesDoc[] =
    "get_best_matches(search_string, candidates)\n--\n\n";

inline constexpr const char kFuzzyMatchSimpleDoc[] =
    "fuzzy_match_simple(pattern, instring, case_sensitive)\n--\n\n";

inline constexpr const char kReplaceContentDoc[] =
    "replace_content(content, old_string, new_string, replace_all=False, line_hint=None)\n--\n\n"
    "Replace content using multiple fallback strategies.\n"
    "\n"
    "Tries various matching strategies in order until one succeeds:\n"
    "1. Simple - Direct string matching\n"
    "2. Line-trimmed - Line-by-line matching with trimmed whitespace\n"
    "3. Block-anchor - Multi-line matching using first/last line anchors\n"
    "4. Whitespace-normalized - Normalized whitespace matching\n"
    "5. Indentation-flexible - Matching with flexible indentation\n"
    "6. Escape-normalized - Handle escape sequence differences\n"
    "7. Trimmed-boundary - Match with trimmed boundaries\n"
    "8. Context-aware - Use anchor lines for context matching\n"
    "\n"
    "Args:\n"
    "    content: The text content to search within\n"
    "    old_string: Text to find and replace\n"
    "    new_string: Replacement text\n"
    "    replace_all: If True, replace all occurrences (default: False)\n"
    "    line_hint: Optional line number hint for disambiguation when multiple matches exist\n"
    "\n"
    "Returns:\n"
    "    ReplaceResult with the new content and match information\n"
    "\n"
    "Raises:\n"
    "    ValueError: If old_string equals new_string, not found, or multiple matches without "
    "line_hint";

inline constexpr const char kTryReplaceContentDoc[] =
    "try_replace_content(content, old_string, new_string, replace_all=False, line_hint=None)"
    "\n--\n\n"
    "Try to replace content, returning a result object instead of raising.\n"
    "\n"
    "This is useful when you want to handle errors programmatically rather than\n"
    "catching exceptions. The returned object is falsy on failure, truthy on success.\n"
    "\n"
    "Args:\n"
    "    content: The text content to search within\n"
    "    old_string: Text to find and replace\n"
    "    new_string: Replacement text\n"
    "    replace_all: If True, replace all occurrences (default: False)\n"
    "    line_hint: Optional line number hint for disambiguation\n"
    "\n"
    "Returns:\n"
    "    TryReplaceResult with:\n"
    "    - success: bool\n"
    "    - result: ReplaceResult if success, None otherwise\n"
    "    - error: Error message if failed, None otherwise\n"
    "    - error_type: \"not_found\", \"multiple_matches\", or \"no_change\" if failed\n"
    "    - closest_match: FuzzyMatchInfo if a close match was found\n"
    "    - locations: List of line numbers if multiple matches found";

inline constexpr const char kStreamingFuzzyMatcherDoc[] =
    "StreamingFuzzyMatcher(source_text)\n--\n\n"
    "A streaming fuzzy matcher that processes text chunks incrementally.\n\n"
    "This matcher is designed for real-time matching scenarios like code editing\n"
    "where text arrives in chunks (e.g., from an LLM streaming response).\n\n"
    "Example:\n"
    "    >>> matcher = StreamingFuzzyMatcher(\"function foo() {\\n    return 42;\\n}\")\n"
    "    >>> result = matcher.push(\"function foo() {\\n\", None)\n"
    "    >>> print(result)  # MatchRange with the match location";

inline constexpr const char kPushDoc[] =
    "push($self, chunk, line_hint=None)\n--\n\n"
    "Push a new chunk of text and get the best match found so far.\n\n"
    "This method accumulates text chunks and processes complete lines.\n"
    "Partial lines are buffered internally until a newline is received.\n\n"
    "Args:\n"
    "    chunk: Text chunk to add to the query\n"
    "    line_hint: Optional line number hint for match selection\n\n"
    "Returns:\n"
    "    MatchRange if a match has been found, None otherwise";

inline constexpr const char kFinishDoc[] =
    "finish($self)\n--\n\n"
    "Finish processing and return all final matches.\n\n"
    "This processes any remaining incomplete line before returning\n"
    "the final match results.\n\n"
    "Returns:\n"
    "    List of all found MatchRange objects";

inline constexpr const char kSelectBestMatchDoc[] =
    "select_best_match($self)\n--\n\n"
    "Return the best match considering line hints.\n\n"
    "Returns:\n"
    "    Best MatchRange, or None if no suitable match found";

inline constexpr const char kGetTextDoc[] =
    "get_text($self, match_range)\n--\n\n"
    "Get the text for a given range from the source.\n\n"
    "Args:\n"
    "    match_range: The MatchRange to extract text for\n\n"
    "Returns:\n"
    "    The matched text as a string";

inline constexpr const char kQueryLinesDoc[] = "Returns the accumulated query lines.";

inline constexpr const char kSourceLinesDoc[] = "Returns the source lines.";

inline constexpr const char kMatchRangeDoc[] = "Python wrapper for a match range.";

inline constexpr const char kReplaceResultDoc[] = "Result of a successful replacement operation.";

inline constexpr const char kTryReplaceResultDoc[] =
    "Result from try_replace_content - either success with result, or "
    "failure with error details.";

inline constexpr const char kFuzzyMatchInfoDoc[] =
    "Information about a fuzzy match when replacement fails.";

// ---- Binding messages (printf formats: display name, counts, the word was/were) ----

inline constexpr const char kTakesPositional[] = "%s takes %zu positional arguments but %zd %s given";
inline constexpr const char kTakesFromTo[] =
    "%s takes from %zu to %zu positional arguments but %zd %s given";
inline constexpr const char kUnexpectedKeyword[] = "%s got an unexpected keyword argument '%U'";
inline constexpr const char kMultipleValues[] = "%s got multiple values for argument '%s'";
inline constexpr const char kMissingRequired[] = "%s missing %zu required positional %s: %s";
inline constexpr const char kArgumentError[] = "argument '%s': %U";

// ---- Conversion messages ----

inline constexpr const char kCastError[] = "'%s' object cannot be converted to '%s'";
inline constexpr const char kCantExtractStr[] = "Can't extract `str` to `Vec`";
inline constexpr const char kOutOfRange[] = "out of range integral type conversion attempted";

// ---- StreamingFuzzyMatcher access ----

inline constexpr const char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr const char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";

// ---- Result classes: the refusal to instantiate and the representation templates ----

inline constexpr const char kCannotCreate[] = "cannot create '_brindle_search.%s' instances";
inline constexpr const char kMatchRangeRepr[] = "MatchRange(start=%llu, end=%llu)";
// `{}` is replaced by each value in turn.
inline constexpr const char kReplaceResultRepr[] =
    "ReplaceResult(start_line={}, end_line={}, strategy='{}', matched_text='{}')";
inline constexpr const char kFuzzyMatchInfoRepr[] = "FuzzyMatchInfo(similarity={}, lines={}-{})";
inline constexpr const char kTryReplaceSuccessRepr[] = "TryReplaceResult(success=True, result={})";
inline constexpr const char kTryReplaceFailureRepr[] = "TryReplaceResult(success=False, error_type={})";

// ---- PanicException ----

inline constexpr const char kPanicName[] = "brindle_search_runtime.PanicException";
inline constexpr const char kPanicDoc[] =
    "The exception raised when the native code of _brindle_search hits an internal fault.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it is not\n"
    "caught by ordinary `except Exception` handlers and normally propagates to the top and\n"
    "ends the program.";
// Written to stderr before the process aborts when a second fault hits the reporting of the first.
inline constexpr const char kUncaughtPanic[] = "uncaught panic at ffi boundary\n";

}  // namespace brindle::py::pinned
