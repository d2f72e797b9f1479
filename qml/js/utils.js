.pragma library

var accentColor = "#28a7e1";
var greenColor = "#54b761";
var redColor = "#ff0000";
