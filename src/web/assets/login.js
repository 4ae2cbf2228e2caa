'use strict';
document.addEventListener('DOMContentLoaded', () => {
  const form = document.getElementById('loginForm');
  const error = document.getElementById('loginError');
  form.addEventListener('submit', async (event) => {
    event.preventDefault();
    error.textContent = '';
    try {
      const answer = await fetch('/api/v1/login', {
        method: 'POST',
        headers: {'Content-Type': 'application/json'},
        body: JSON.stringify({name: form.elements.name.value, password: form.elements.password.value}),
        credentials: 'same-origin',
      });
      const body = await answer.json();
      if (answer.ok) {
        sessionStorage.setItem('csrf', body.csrf);
        window.location.assign('/');
      } else {
        error.textContent = body.error || 'Login failed.';
      }
    } catch (e) {
      error.textContent = 'The panel cannot be reached.';
    }
  });
});
