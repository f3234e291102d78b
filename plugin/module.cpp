// The module's own translation unit. Everything it exports (OfxGetNumberOfPlugins, OfxGetPlugin) comes from
// the plug-in library linked whole; the version script hides every other symbol.
