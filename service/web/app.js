<!-- app.js -->
